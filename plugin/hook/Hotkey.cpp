#include "hook/Hotkey.h"

namespace taviro {

namespace {

// Whether the hotkey was pressed since the last look; updates what the look saw.
bool PressedSinceLastLook(ToggleState& toggle, const HotkeyBinding& hotkey) {
    if (gamepad::IsPadCode(hotkey.key)) {
        const std::uint32_t presses = gamepad::HotkeyPresses();
        const bool odd = ((presses - toggle.presses) & 1u) != 0;  // two presses leave it as it was
        toggle.presses = presses;
        // A controller's modifier was asked by the reader at the press; a key's is asked now.
        return odd && (hotkey.modifier == 0 || gamepad::IsPadCode(hotkey.modifier) ||
                       KeyHeld(hotkey.modifier));
    }
    const bool held = KeyHeld(hotkey.key);
    const bool pressed = held && !toggle.keyHeld;
    toggle.keyHeld = held;
    return pressed && (hotkey.modifier == 0 || KeyHeld(hotkey.modifier));
}

}  // namespace

ToggleLook LookAtToggle(ToggleState& toggle, std::uint32_t binding) {
    if (binding != toggle.binding) {
        toggle.binding = binding;
        toggle.End();
    }
    const HotkeyBinding hotkey = HotkeyBinding::FromWord(binding);
    if (hotkey.key == 0) {
        return ToggleLook::Off;
    }
    const bool pressed = PressedSinceLastLook(toggle, hotkey);
    if (toggle.fresh) {
        toggle.fresh = false;  // and off, as End() left it
        return ToggleLook::Off;
    }
    if (!pressed) {
        return toggle.on ? ToggleLook::On : ToggleLook::Off;
    }
    toggle.on = !toggle.on;
    return toggle.on ? ToggleLook::On : ToggleLook::TurnedOff;
}

}  // namespace taviro
