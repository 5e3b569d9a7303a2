// The controllers, for a hotkey or modifier bound to one of Windows' gamepad virtual-key codes,
// VK_GAMEPAD_A (0xC3) to VK_GAMEPAD_RIGHT_THUMBSTICK_LEFT (0xDA): the desktop's key state never
// reports these held, so a thread of the plugin reads every Xbox-compatible pad through XInput
// and publishes the buttons held on any of them as one word, which the hook reads with one load.
//
// The reader reads nothing until a controller code is first bound, and only while one is. It then
// loads XInput: the one the game already has (so the plugin sees the pads the game sees, wrappers
// that give other pads XInput's face included), else xinput1_4.dll, xinput1_3.dll or
// xinput9_1_0.dll from System32 alone. A slot with no pad is asked again at most once a second,
// since that question is slow on real systems. Without any XInput the log says so once, and
// controller codes are never held.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "Win32.h"

namespace taviro::gamepad {

inline constexpr std::uint32_t kFirstCode = 0xC3;  // VK_GAMEPAD_A
inline constexpr std::uint32_t kLastCode = 0xDA;   // VK_GAMEPAD_RIGHT_THUMBSTICK_LEFT

constexpr bool IsPadCode(std::uint32_t code) {
    return code >= kFirstCode && code <= kLastCode;
}

// A controller code's bit in the words below.
constexpr std::uint32_t CodeBit(std::uint32_t code) {
    return IsPadCode(code) ? 1u << (code - kFirstCode) : 0u;
}

// The buttons held on any connected pad, a CodeBit each. Written only by the reader's thread.
extern std::atomic<std::uint32_t> heldButtons;

inline bool ButtonHeld(std::uint32_t code) {
    return (heldButtons.load(std::memory_order_relaxed) & CodeBit(code)) != 0;
}

// Presses of the hotkey's button as the reader counts them, at its own pace, so that a press
// shorter than a game's frame still counts: the button going from not held to held between two
// reads, with the modifier held at that read where the modifier is a controller's button too (a
// key's state is the game's thread's to read). Written only by the reader's thread; it wraps, and
// only the difference between two counts means anything.
extern std::atomic<std::uint32_t> hotkeyPresses;

inline std::uint32_t HotkeyPresses() {
    return hotkeyPresses.load(std::memory_order_relaxed);
}

// The codes whose presses the reader counts: a hotkey that is no controller's button has none
// counted, a modifier that is none is never asked for.
void CountPressesOf(std::uint32_t key, std::uint32_t modifier);

// The controller codes bound now, a CodeBit each: the reader reads while any is, and stops,
// letting every button go, when none is. The first call with any loads XInput. The log says each
// connection and disconnection, at most once a second for each controller, and, while none is
// connected, that the binding waits for one: "the hotkey LB + A waits for one", `binding` being
// "LB + A".
void Watch(std::uint32_t codes, const std::string& binding = {});

// What one pad's state holds, a CodeBit each: its buttons, a trigger past
// XINPUT_GAMEPAD_TRIGGER_THRESHOLD, a stick's direction past that stick's documented dead zone.
std::uint32_t ButtonsHeldOn(const XINPUT_GAMEPAD& pad);

// For tests: stops the reader, lets every button go and forgets the XInput it found, as a fresh
// process has none.
void ResetReader();

}  // namespace taviro::gamepad
