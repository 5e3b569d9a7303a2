// The state the hook, the event sinks and the host's message listener share, and the lock that
// guards it. Only those three write it; the units they call hand values back instead.
//
// Every member is read and written under StateMutex, except three that are reached without it by
// design and are therefore atomic:
//  - handbrakeEngaged: written by the hook's busy path, which runs precisely when someone else
//    holds the lock;
//  - patchSite: read by the busy path, which patches the byte;
//  - activationFilterForm: read by the activate sink before it takes the lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

namespace taviro {

inline constexpr std::uint32_t kWarmupCalls = 30;
inline constexpr std::int32_t kWindowLength = 150;
inline constexpr std::int32_t kEngageStageReset = -1;
inline constexpr std::int32_t kEngageStageEngaged = 3;

struct ControlState {
    std::uint32_t warmupCount = 0;
    std::int32_t windowCount = kWindowLength;
    bool activationWindowOpen = false;
    bool exitWindowOpen = false;
    std::int32_t engageStage = kEngageStageReset;
    // The handbrake state the hook last asked for; the load-game sink sets it back to engaged,
    // so the first release after a load counts as a change.
    std::atomic<bool> handbrakeEngaged{true};
    std::uint32_t hotkeyCode = 0;
    bool loggingEnabled = false;
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
