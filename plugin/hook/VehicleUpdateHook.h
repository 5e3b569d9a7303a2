#pragma once

#include <cstdint>

#include "game/GameMemory.h"
#include "hook/Trace.h"

namespace taviro {

// Takes the place of the game's vehicle update at its one call site: decides whether the
// handbrake byte is engaged and whether the game's function runs at all.
std::uint64_t GAME_CALL VehicleUpdateHook(void* updateObject);

// Calls of the hook since the plugin loaded: the frame numbers of the decision trace. The count
// and the hotkey in ControlState are in one order: a hotkey published before this is read is seen
// by every frame after the count it gives.
std::uint64_t HookCallCount();

// The decision's state as a trace line shows it. The caller holds StateMutex.
trace::State DecisionState();

}  // namespace taviro
