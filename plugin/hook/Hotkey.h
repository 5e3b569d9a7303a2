// The hotkey as the hook's hotkey step reads it: held, or pressed to toggle the handbrake on and
// pressed again to toggle it off.
#pragma once

#include <cstdint>

#include "Win32.h"
#include "hook/ControlState.h"
#include "input/GamepadReader.h"

namespace taviro {

// A controller's button is one load of the pad reader's word; a key is asked of the system.
inline bool KeyHeld(std::uint8_t code) {
    return gamepad::IsPadCode(code) ? gamepad::ButtonHeld(code) : GetKeyState(code) < 0;
}

// No configured key is "not held" without asking the system: the common case stays free of the
// key-state call, which is a server round trip under Wine. For the same reason a controller's
// part of a combination is asked first.
inline bool HotkeyHeld(const HotkeyBinding& hotkey) {
    if (hotkey.key == 0) {
        return false;
    }
    if (hotkey.modifier == 0) {
        return KeyHeld(hotkey.key);
    }
    return gamepad::IsPadCode(hotkey.modifier) ? KeyHeld(hotkey.modifier) && KeyHeld(hotkey.key)
                                               : KeyHeld(hotkey.key) && KeyHeld(hotkey.modifier);
}

enum class ToggleLook : std::uint8_t {
    Off,
    On,
    TurnedOff,  // a press turned it off on this call
};

// The toggle as the hotkey step finds it, a press since the last look taken into account. A
// press is the hotkey's own: a key seen held at this look and not at the last, on the game's
// thread; a controller's button pressed since the last look, as the pad reader counted it, each
// press flipping the toggle. Where a modifier is set it must be held at the press: a controller's
// as the reader saw it then, a key's at this look. A binding other than the last look's ends the
// toggle. The caller holds StateMutex.
ToggleLook LookAtToggle(ToggleState& toggle, std::uint32_t binding);

}  // namespace taviro
