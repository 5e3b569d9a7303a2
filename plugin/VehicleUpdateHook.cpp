// The handbrake decision, made on every vehicle update the game runs.
//
// The hook never waits and never allocates: it try-locks StateMutex, asks the game a handful of
// questions and either runs the game's function or returns 0 in its place.
#include "VehicleUpdateHook.h"

#include <mutex>

#include "ControlState.h"
#include "GameQueries.h"
#include "HandbrakePatch.h"
#include "Win32.h"

namespace taviro {

namespace {

constexpr std::ptrdiff_t kUpdateObjectFloat = 0xE0;      // float in the object the game passes
constexpr std::ptrdiff_t kTrackedSingletonField = 0xB0;  // pointer-sized, tested for zero

ControlState& state = controlState;

// Whatever happened to the byte, the request is what the state records.
void RequestHandbrake(bool engage) {
    SetHandbrakePatch(state.patchSite.load(std::memory_order_acquire), engage);
    state.handbrakeEngaged.store(engage, std::memory_order_relaxed);
}

// The game goes on as if we were not here, with the handbrake released.
std::uint64_t ReleaseAndRunGame(void* updateObject) {
    RequestHandbrake(false);
    return GameVehicleUpdate(updateObject);
}

// After an engage the game's function runs; after a release it is skipped and 0 stands in for
// its result. Goes by what this call asked for rather than by handbrakeEngaged, which the busy
// path of a concurrent call may have flipped in between.
std::uint64_t PatchAndRunIfEngaged(bool engage, void* updateObject) {
    RequestHandbrake(engage);
    return engage ? GameVehicleUpdate(updateObject) : 0;
}

void AdvanceWindowDuringWarmup() {
    state.windowCount = state.windowCount < kWindowLength ? state.windowCount + 1 : kWindowLength;
}

bool HotkeyHeld() {
    // No configured key is "not held" without asking the system: the common case stays free of
    // the key-state call, which is a server round trip under Wine.
    return state.hotkeyCode != 0 && GetKeyState(static_cast<int>(state.hotkeyCode)) < 0;
}

bool TrackedObjectReady() {
    return state.trackedSingleton != nullptr &&
           game::Read<std::uintptr_t>(state.trackedSingleton, kTrackedSingletonField) != 0;
}

// The tracked object coming to rest (its second float reading 0.0) closes the exit window for
// good, until the next exit.
bool CheckExitWindow() {
    if (QueryTrackedFloat2(state.trackedSingleton) == 0.0f) {
        state.exitWindowOpen = false;
    }
    return state.exitWindowOpen;
}

bool TakesCountingPath(void* updateObject) {
    if (updateObject != nullptr) {
        if (game::Read<float>(updateObject, kUpdateObjectFloat) == 0.0f) {
            return true;
        }
        if (QueryTrackedFloat1(state.trackedSingleton) != 0.0f) {  // NaN included
            return true;
        }
        if (CheckExitWindow() && state.windowCount < kWindowLength) {
            return true;
        }
    }
    return state.activationWindowOpen;
}

void CountWindowCall() {
    if (state.windowCount >= kWindowLength) {
        state.activationWindowOpen = false;
        return;
    }
    if (++state.windowCount >= kWindowLength) {
        state.activationWindowOpen = false;
    }
}

std::uint64_t Decide(void* updateObject) {
    // Until the game's data has loaded there is no UI to ask, and the game's menu query would
    // fault on a null UI object.
    if (state.gameUi == nullptr) {
        return ReleaseAndRunGame(updateObject);
    }

    // Load screens and fades restart the warm-up.
    if (IsMenuOpenByName(state.gameUi, "FaderMenu") ||
        IsMenuOpenByName(state.gameUi, "LoadingMenu")) {
        state.warmupCount = 0;
        return ReleaseAndRunGame(updateObject);
    }

    if (state.warmupCount < kWarmupCalls) {
        ++state.warmupCount;
        if (QueryTrackedFloat1(state.trackedSingleton) == 0.0f) {
            AdvanceWindowDuringWarmup();
        }
        return ReleaseAndRunGame(updateObject);
    }

    if (!TrackedObjectReady() || QueryGameFlag()) {
        return ReleaseAndRunGame(updateObject);
    }

    if (HotkeyHeld()) {
        return PatchAndRunIfEngaged(true, updateObject);
    }

    if (!TakesCountingPath(updateObject)) {
        state.engageStage = kEngageStageReset;
        return PatchAndRunIfEngaged(false, updateObject);
    }

    CountWindowCall();
    if (state.engageStage >= kEngageStageEngaged) {
        RequestHandbrake(true);
        state.engageStage = kEngageStageEngaged;
        return GameVehicleUpdate(updateObject);
    }
    ++state.engageStage;
    return PatchAndRunIfEngaged(false, updateObject);
}

}  // namespace

std::uint64_t GAME_CALL VehicleUpdateHook(void* updateObject) {
    std::unique_lock lock(StateMutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        // Someone else is changing the state: leave it alone and let the game run.
        return ReleaseAndRunGame(updateObject);
    }
    // The lock is held until the game's function has returned.
    return Decide(updateObject);
}

}  // namespace taviro
