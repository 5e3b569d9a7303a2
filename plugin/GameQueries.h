// The questions the hook asks the game, each one call of a game function.
#pragma once

#include <cstdint>

namespace taviro {

// Runs the game's own vehicle update, the function whose call the hook took over.
std::uint64_t GameVehicleUpdate(void* updateObject);

// Asks the game's UI whether the named menu is open. The game string built for the question is
// released on every path, also when the query throws.
bool IsMenuOpenByName(const char* menuName);

// First float query on trackedSingleton; -1.0 without asking the game when it is unset.
float QueryTrackedFloat1();

// Second float query on trackedSingleton. A reading of 0.0 closes the exit window for good.
bool CheckExitWindow();

bool QueryGameFlag();

}  // namespace taviro
