// The handbrake decision, made on every vehicle update the game runs.
//
// The hook never waits and never allocates: it try-locks StateMutex, asks the game a handful of
// questions and either runs the game's function or returns 0 in its place.
#include "plugin/VehicleUpdateHook.h"

#include <mutex>

#include "Win32.h"
#include "plugin/ControlState.h"
#include "plugin/GameQueries.h"
#include "plugin/HandbrakePatch.h"

namespace taviro {

namespace {

constexpr std::ptrdiff_t kUpdateObjectFloat = 0xE0;      // float in the object the game passes
constexpr std::ptrdiff_t kTrackedSingletonField = 0xB0;  // pointer-sized, tested for zero

ControlState& state = controlState;

// Way out D: the game goes on as if we were not here, with the handbrake released.
std::uint64_t LeaveByDefault(void* updateObject) {
    SetHandbrakePatch(false);
    return GameVehicleUpdate(updateObject);
}

// Way out E: after an engage the game's function runs; after a release it is skipped. Uses the
// state this call requested rather than re-reading handbrakeEngaged, which the busy path of a
// concurrent call may have flipped in between.
std::uint64_t LeaveWithPatch(bool engage, void* updateObject) {
    SetHandbrakePatch(engage);
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

bool TakesCountingPath(void* updateObject) {
    if (updateObject != nullptr) {
        if (game::Read<float>(updateObject, kUpdateObjectFloat) == 0.0f) {
            return true;
        }
        if (QueryTrackedFloat1() != 0.0f) {  // NaN included
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
        return LeaveByDefault(updateObject);
    }

    // Load screens and fades restart the warm-up.
    if (IsMenuOpenByName("FaderMenu") || IsMenuOpenByName("LoadingMenu")) {
        state.warmupCount = 0;
        return LeaveByDefault(updateObject);
    }

    if (state.warmupCount < kWarmupCalls) {
        ++state.warmupCount;
        if (QueryTrackedFloat1() == 0.0f) {
            AdvanceWindowDuringWarmup();
        }
        return LeaveByDefault(updateObject);
    }

    if (!TrackedObjectReady() || QueryGameFlag()) {
        return LeaveByDefault(updateObject);
    }

    if (HotkeyHeld()) {
        return LeaveWithPatch(true, updateObject);
    }

    if (!TakesCountingPath(updateObject)) {
        state.engageStage = kEngageStageReset;
        return LeaveWithPatch(false, updateObject);
    }

    CountWindowCall();
    if (state.engageStage >= kEngageStageEngaged) {
        SetHandbrakePatch(true);
        state.engageStage = kEngageStageEngaged;
        return GameVehicleUpdate(updateObject);
    }
    ++state.engageStage;
    return LeaveWithPatch(false, updateObject);
}

}  // namespace

std::uint64_t GAME_CALL VehicleUpdateHook(void* updateObject) {
    std::unique_lock lock(StateMutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        // Someone else is changing the state: leave it alone and let the game run.
        return LeaveByDefault(updateObject);
    }
    // The lock is held until the game's function has returned.
    return Decide(updateObject);
}

}  // namespace taviro
