// The player's controllers, as the plugin meets them: the game loads XInput at its start, before
// any plugin (the stand-in layer's natively; under Wine the project's stand-in xinput1_4.dll),
// and the testbed drives that library through exports of its own, pressing and letting go of
// buttons on up to four pads.
#pragma once

#include <cstdint>
#include <string>

#include "Win32.h"

namespace testbed {

class Gamepads {
public:
    static constexpr int kSlots = 4;

    static Gamepads& Get();

    // Loads XInput as the game does. False, with Error() telling why, when the library that
    // loaded is not the stand-in (under Wine: Wine's own, unless told to prefer the stand-in).
    bool Load();
    const std::string& Error() const { return m_error; }

    // Pad `slot` (0 to 3) plugged in or pulled out; a pad plugged in has nothing held.
    void Connect(int slot, bool connected);
    // A button of pad `slot` by Windows' gamepad code (0xC3 to 0xDA): a trigger held is pulled
    // all the way, a stick held is pushed all the way in that direction. False for another code.
    bool SetButton(int slot, int code, bool down);

    // Waits until the plugin has read the pad twice since its last change, so that what the pad
    // holds now is what the hook sees. The plugin reads a pad it found connected 125 times a
    // second and an empty slot once a second; a plugin that has read no pad for 1.5 s
    // reads none (no controller code bound), and is not waited for. False then.
    bool AwaitRead(int slot);

    // How often the plugin has asked slot `slot` (0 to 3) for its state; with kSlots, how often
    // it has asked any. 0 before Load.
    DWORD64 Reads(int slot) const {
        return m_padReads != nullptr ? m_padReads(static_cast<DWORD>(slot)) : 0;
    }

    // Back to four empty slots, as at the game's start.
    void Reset();

private:
    Gamepads() = default;
    void Publish(int slot);

    using SetPadState = DWORD64(WINAPI*)(DWORD, BOOL, const XINPUT_STATE*);
    using PadReads = DWORD64(WINAPI*)(DWORD);
    SetPadState m_setPadState = nullptr;
    PadReads m_padReads = nullptr;
    std::string m_error;
    bool m_connected[kSlots] = {};
    XINPUT_STATE m_state[kSlots] = {};
    DWORD64 m_readsBeforeChange[kSlots] = {};
};

}  // namespace testbed
