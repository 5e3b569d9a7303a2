// The decision trace: a line for every change of the handbrake decision's state or of its
// reason, and for every game event a sink acted on, so that a player's log tells frame by frame
// what the plugin decided and why. The words of a line are made here; the log only carries them.
#pragma once

#include <cstdint>

#include "hook/ControlState.h"

namespace taviro::trace {

// The decision as a trace line shows it.
struct State {
    bool engaged = true;  // the handbrake state last asked for
    std::int8_t stage = kEngageStageReset;
    std::uint8_t warmup = 0;
    bool exitWindow = false;
    bool activationWindow = false;
    std::int16_t window = kWindowLength;
    bool operator==(const State&) const = default;
};

// Why a trace line was written: the hook's way through its decision, or the event a sink acted on.
enum class Cause : std::uint8_t {
    NoUi,
    Fade,
    LoadScreen,
    WarmUp,
    NotReady,
    GameFlag,
    HotkeyHeld,
    HotkeyLetGo,
    HotkeyOn,   // toggled on by a press: engaged with nothing held
    HotkeyOff,  // the call on which a press turned it off
    Reset,
    CountingUpdateFloat,
    CountingFloat1,
    CountingExitWindow,
    CountingActivationWindow,
    ExitVehicle,
    ActivationMatched,
    CreditsClosed,
    GameLoaded,
};

// The reason as the trace line writes it after "why=": what the timeline and scenarios read.
const char* CauseName(Cause cause);

// A game event a sink acted on, rather than the hook's way through its decision.
constexpr bool IsEvent(Cause cause) {
    return cause == Cause::ExitVehicle || cause == Cause::ActivationMatched ||
           cause == Cause::CreditsClosed || cause == Cause::GameLoaded;
}

// The decision's counting path, one reason per cause.
constexpr bool IsCounting(Cause cause) {
    return cause == Cause::CountingUpdateFloat || cause == Cause::CountingFloat1 ||
           cause == Cause::CountingExitWindow || cause == Cause::CountingActivationWindow;
}

// Hands a trace line to the log's queue. Formats nothing and allocates nothing: the log's writer
// makes the words when it drains.
void Record(std::uint64_t frame, Cause cause, const State& state) noexcept;

}  // namespace taviro::trace
