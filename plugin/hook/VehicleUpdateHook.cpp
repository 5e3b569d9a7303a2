// The handbrake decision, made on every vehicle update the game runs.
//
// The hook never waits and never allocates: it try-locks StateMutex, asks the game a handful of
// questions, decides, sets the handbrake byte accordingly and either runs the game's function or
// returns 0 in its place. With the decision trace on, a change of the decision's state or of its
// reason is handed to the log's queue, and trouble with the byte raises a once-only report;
// nothing is written, formatted or woken here.
#include "hook/VehicleUpdateHook.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <optional>

#include "game/GameOffsets.h"
#include "game/GameQueries.h"
#include "hook/ControlState.h"
#include "hook/HandbrakePatch.h"
#include "hook/Hotkey.h"
#include "hook/Trace.h"
#include "hook/VehicleUpdateCall.h"
#include "log/Log.h"

namespace taviro {

namespace {

constexpr std::ptrdiff_t kUpdateObjectFloat = 0xE0;      // float in the object the game passes
constexpr std::ptrdiff_t kTrackedSingletonField = 0xB0;  // pointer-sized, tested for zero

using trace::Cause;

ControlState& state = controlState;
constinit std::atomic<std::uint64_t> hookCalls{0};

// What one call does: the handbrake state it asks for, and whether the game's function runs.
struct Decision {
    bool engage;
    bool runGame;
    Cause cause;
};

// The game goes on as if we were not here, with the handbrake released.
Decision LetGameRun(Cause cause) {
    return {false, true, cause};
}

// After an engage the game's function runs; after a release it is skipped and 0 stands in for
// its result.
Decision Patch(bool engage, Cause cause) {
    return {engage, engage, cause};
}

void AdvanceWindowDuringWarmup() {
    state.windowCount = state.windowCount < kWindowLength ? state.windowCount + 1 : kWindowLength;
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

// Which reason, if any, sends this call down the counting path.
std::optional<Cause> CountingReason(void* updateObject) {
    if (updateObject != nullptr) {
        if (game::Read<float>(updateObject, kUpdateObjectFloat) == 0.0f) {
            return Cause::CountingUpdateFloat;
        }
        if (QueryTrackedFloat1(state.trackedSingleton) != 0.0f) {  // NaN included
            return Cause::CountingFloat1;
        }
        if (CheckExitWindow() && state.windowCount < kWindowLength) {
            return Cause::CountingExitWindow;
        }
    }
    if (state.activationWindowOpen) {
        return Cause::CountingActivationWindow;
    }
    return std::nullopt;
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

// What decides once the hotkey does not: a counting window, or the reset path. Inline, since it
// is every frame's way when no hotkey engages.
inline Decision DecideByWindows(void* updateObject) {
    const std::optional<Cause> counting = CountingReason(updateObject);
    if (!counting) {
        state.engageStage = kEngageStageReset;
        return Patch(false, Cause::Reset);
    }

    CountWindowCall();
    if (state.engageStage >= kEngageStageEngaged) {
        state.engageStage = kEngageStageEngaged;
        return Patch(true, *counting);
    }
    ++state.engageStage;
    return Patch(false, *counting);
}

// A toggled hotkey: on, it holds the handbrake; the frame a press turns it off is the press's,
// whatever the windows then decide; off, it leaves the decision to them.
std::optional<Decision> DecideByToggle(void* updateObject, std::uint32_t binding) {
    switch (LookAtToggle(state.toggle, binding)) {
        case ToggleLook::On:
            return Patch(true, Cause::HotkeyOn);
        case ToggleLook::TurnedOff: {
            Decision decision = DecideByWindows(updateObject);
            decision.cause = Cause::HotkeyOff;
            return decision;
        }
        case ToggleLook::Off:
            break;
    }
    return std::nullopt;
}

Decision Decide(void* updateObject) {
    // Until the game's data has loaded there is no UI to ask, and the game's menu query would
    // fault on a null UI object.
    if (state.gameUi == nullptr) {
        return LetGameRun(Cause::NoUi);
    }

    // Load screens and fades restart the warm-up, and end a toggled hotkey: no handbrake comes
    // back engaged by surprise after a load.
    if (IsMenuOpenByName(state.gameUi, "FaderMenu")) {
        state.warmupCount = 0;
        state.toggle.End();
        return LetGameRun(Cause::Fade);
    }
    if (IsMenuOpenByName(state.gameUi, "LoadingMenu")) {
        state.warmupCount = 0;
        state.toggle.End();
        return LetGameRun(Cause::LoadScreen);
    }

    if (state.warmupCount < kWarmupCalls) {
        ++state.warmupCount;
        if (QueryTrackedFloat1(state.trackedSingleton) == 0.0f) {
            AdvanceWindowDuringWarmup();
        }
        return LetGameRun(Cause::WarmUp);
    }

    if (!TrackedObjectReady()) {
        return LetGameRun(Cause::NotReady);
    }
    if (QueryGameFlag()) {
        return LetGameRun(Cause::GameFlag);
    }

    // The hotkey, held or toggled on: held, as ever, unless the binding says a press toggles. The
    // held hotkey's way is laid out as the likely one, so that it costs what it did before.
    // In the one order of the frame count and the settings (HookCallCount): a frame counted after
    // a save was published sees it. On x86 this load costs what a relaxed one does.
    const std::uint32_t binding = state.hotkey.load(std::memory_order_seq_cst);
    if (HotkeyBinding::Toggles(binding)) [[unlikely]] {
        if (const std::optional<Decision> toggled = DecideByToggle(updateObject, binding)) {
            return *toggled;
        }
    } else if (HotkeyHeld(HotkeyBinding::FromWord(binding))) {
        return Patch(true, Cause::HotkeyHeld);
    }

    return DecideByWindows(updateObject);
}

// Said once per process, since the hook meets the same code on every call, and worded by the log's
// writer: the hook only raises the report.
void RefusedWords(char* text, std::size_t size) {
    std::snprintf(text, size,
                  "the system refused to make the game's code at Starfield.exe+%X writable; the "
                  "handbrake byte stays as the game has it (reported once)",
                  static_cast<unsigned>(offsets::kHandbrakePatchSite));
}
void ForeignWords(char* text, std::size_t size) {
    std::snprintf(text, size,
                  "the handbrake byte at Starfield.exe+%X+%d is neither 0x00 nor 0x03: another "
                  "game version, or another plugin changed it; it is left alone (reported once)",
                  static_cast<unsigned>(offsets::kHandbrakePatchSite),
                  static_cast<int>(offsets::kHandbrakeByteDelta));
}
constinit log::OnceReport refusedReport{&RefusedWords};
constinit log::OnceReport foreignReport{&ForeignWords};

// Whatever happened to the byte, the request is what the state records.
void RequestHandbrake(bool engage) {
    const PatchOutcome outcome =
        SetHandbrakePatch(state.patchSite.load(std::memory_order_acquire), engage);
    state.handbrakeEngaged.store(engage, std::memory_order_relaxed);
    if (outcome == PatchOutcome::Refused) {
        log::RaiseOnce(refusedReport);
    } else if (outcome == PatchOutcome::Foreign) {
        log::RaiseOnce(foreignReport);
    }
}

// A change worth a trace line: the handbrake, the stage, a window, the warm-up restarted (held
// at 0), counting again or finished. The counts themselves move on nearly every call and are
// only shown.
bool Changed(const trace::State& before, const trace::State& after) {
    return before.engaged != after.engaged || before.stage != after.stage ||
           before.exitWindow != after.exitWindow ||
           before.activationWindow != after.activationWindow ||
           (before.warmup == 0) != (after.warmup == 0) ||
           (before.warmup < kWarmupCalls) != (after.warmup < kWarmupCalls);
}

// The reason the trace gave last, so that a new reason gets a line of its own even where the
// state stays as it was (the hotkey let go while a window keeps the handbrake engaged). A reason
// that flickers from call to call must not flood the log: lines for a reason alone come in a
// burst of at most kCauseBurst, then one per kCauseSpacing calls for as long as it goes on. A
// change held back is said on the first call allowed a line, with that call's reason, so every
// line stays true of its frame. The three are guarded by StateMutex.
constexpr Cause kNoLineYet = static_cast<Cause>(0xFF);
constexpr std::uint64_t kCauseBurst = 16;
constexpr std::uint64_t kCauseSpacing = 120;  // two seconds at 60 frames a second
Cause tracedCause = kNoLineYet;
std::uint64_t tracedFrame = 0;    // the last call made with the trace on
std::uint64_t causeLinesDue = 0;  // the frame the budget for reason lines stands at

// Whether this call may have a line for its reason alone; takes it from the budget if so.
bool TakeCauseLine(std::uint64_t frame) {
    const std::uint64_t due = std::max(causeLinesDue, frame);
    if (due - frame > (kCauseBurst - 1) * kCauseSpacing) {
        return false;
    }
    causeLinesDue = due + kCauseSpacing;
    return true;
}

// What last engaged the handbrake. Guarded by StateMutex.
Cause engagedBy = Cause::NoUi;

// A release that follows the hotkey, made by the decision proper (not a fade or a load screen,
// which come first), is the key let go: what the player did, rather than the path it took.
Cause TracedCause(const Decision& decision, const trace::State& before) {
    const bool decisionProper = decision.cause == Cause::Reset || IsCounting(decision.cause);
    if (before.engaged && !decision.engage && engagedBy == Cause::HotkeyHeld && decisionProper) {
        return Cause::HotkeyLetGo;
    }
    return decision.cause;
}

}  // namespace

trace::State DecisionState() {
    return {state.handbrakeEngaged.load(std::memory_order_relaxed),
            static_cast<std::int8_t>(state.engageStage),
            static_cast<std::uint8_t>(state.warmupCount),
            state.exitWindowOpen,
            state.activationWindowOpen,
            static_cast<std::int16_t>(state.windowCount)};
}

std::uint64_t HookCallCount() {
    return hookCalls.load(std::memory_order_seq_cst);
}

std::uint64_t GAME_CALL VehicleUpdateHook(void* updateObject) {
    const std::uint64_t frame = hookCalls.fetch_add(1, std::memory_order_seq_cst) + 1;
    std::unique_lock lock(StateMutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        // Someone else is changing the state: leave it alone and let the game run.
        RequestHandbrake(false);
        return CallOnVehicleUpdate(updateObject);
    }

    const bool tracing = state.loggingEnabled.load(std::memory_order_relaxed);
    const trace::State before = tracing ? DecisionState() : trace::State{};
    const Decision decision = Decide(updateObject);
    RequestHandbrake(decision.engage);
    if (tracing) {
        const trace::State after = DecisionState();
        // A call the trace did not see (the trace off, the state busy, another thread's frame)
        // leaves the last line's reason unknown for the frames between. Where the state stays,
        // the traced reason is the decision's own: the key let go is a release.
        const bool reasonKnown = decision.cause == tracedCause && tracedFrame + 1 == frame;
        tracedFrame = frame;
        if (Changed(before, after) || (!reasonKnown && TakeCauseLine(frame))) {
            tracedCause = TracedCause(decision, before);
            trace::Record(frame, tracedCause, after);
        }
    }
    if (decision.engage) {
        engagedBy = decision.cause;
    }
    // The lock is held until the game's function has returned.
    return decision.runGame ? CallOnVehicleUpdate(updateObject) : 0;
}

}  // namespace taviro
