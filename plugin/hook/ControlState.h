// The state the hook, the event sinks and the host's message listener share, and the lock that
// guards it. Each member names its writers; the units they call hand values back instead.
//
// Every member is read and written under StateMutex, except those reached without it by design,
// which are therefore atomic:
//  - handbrakeEngaged: written by the hook's busy path, which runs precisely when someone else
//    holds the lock;
//  - patchSite: read by the busy path, which patches the byte;
//  - activationFilterForm: read by the activate sink before it takes the lock;
//  - the settings in force, hotkey and loggingEnabled: published by one writer, the settings
//    reload (SettingsWatcher.cpp), which reads the files without the lock, so that a reload never
//    makes the hook wait or take its busy path. Each is one word: the hook sees the old settings
//    or the new ones, never half of each.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

namespace taviro {

inline constexpr std::uint32_t kWarmupCalls = 30;
inline constexpr std::int32_t kWindowLength = 150;
inline constexpr std::int32_t kEngageStageReset = -1;
inline constexpr std::int32_t kEngageStageEngaged = 3;

// The handbrake hotkey as the hook reads it: a key code and an optional modifier's code, 0 for
// none, and whether a press toggles the handbrake rather than holding it, in one word so that a
// reload never shows the hook a binding with another binding's part or mode. `change` numbers the
// bindings published so far, so that a binding changed and changed back between two looks of the
// hook still reads as a change (Word() keeps its low 15 bits).
struct HotkeyBinding {
    std::uint8_t key = 0;
    std::uint8_t modifier = 0;
    bool toggle = false;
    std::uint16_t change = 0;

    static constexpr std::uint32_t kChangeMask = 0x7FFF;
    static constexpr std::uint32_t kToggleBit = 1u << 16;

    constexpr std::uint32_t Word() const {
        return key | static_cast<std::uint32_t>(modifier) << 8 | (toggle ? kToggleBit : 0u) |
               (change & kChangeMask) << 17;
    }
    // Whether a press toggles, asked of the word without taking it apart.
    static constexpr bool Toggles(std::uint32_t word) { return (word & kToggleBit) != 0; }
    static constexpr HotkeyBinding FromWord(std::uint32_t word) {
        return {static_cast<std::uint8_t>(word & 0xFF), static_cast<std::uint8_t>(word >> 8),
                Toggles(word), static_cast<std::uint16_t>(word >> 17 & kChangeMask)};
    }
    // The same key, modifier and mode, whatever change brought them.
    constexpr bool SameAs(const HotkeyBinding& other) const {
        return key == other.key && modifier == other.modifier && toggle == other.toggle;
    }
};

// The hotkey as a toggle: on from one press to the next, unless a fade, a loading screen, a game
// load, the end credits closing or another binding ends it first. Under StateMutex.
struct ToggleState {
    bool on = false;
    // The next look only takes in what it sees: nothing pressed before it counts, so a key held
    // or a button pressed through a load engages nothing by surprise after it.
    bool fresh = true;
    bool keyHeld = false;       // the hotkey's key as the last look saw it
    std::uint32_t binding = 0;  // HotkeyBinding::Word() as the last look read it
    std::uint32_t presses = 0;  // the pad reader's count of presses at the last look

    void End() {
        on = false;
        fresh = true;
    }
};

struct ControlState {
    // The decision's own, under StateMutex. Written by the hook, the sinks and the host binding.
    std::uint32_t warmupCount = 0;
    std::int32_t windowCount = kWindowLength;
    bool activationWindowOpen = false;
    bool exitWindowOpen = false;
    std::int32_t engageStage = kEngageStageReset;
    ToggleState toggle;
    // The handbrake state the hook last asked for; the load-game sink sets it back to engaged,
    // so the first release after a load counts as a change.
    std::atomic<bool> handbrakeEngaged{true};

    // The settings in force. Written only by PublishSettings (SettingsWatcher.cpp).
    std::atomic<std::uint32_t> hotkey{0};  // HotkeyBinding::Word()
    std::atomic<bool> loggingEnabled{false};

    // The game's objects and code, as RefreshGamePointers finds them. Written by the sinks and
    // the host binding.
    void* gameUi = nullptr;
    void* trackedSingleton = nullptr;
    std::atomic<std::uint8_t*> patchSite{nullptr};
    std::atomic<void*> activationFilterForm{nullptr};
};

extern ControlState controlState;

// Recursive so that a sink the game runs from inside the hooked function, on the thread that
// already holds it, does not deadlock.
extern std::recursive_mutex StateMutex;

}  // namespace taviro
