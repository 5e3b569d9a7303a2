#pragma once

#include <cstdint>

#include "GameMemory.h"

namespace taviro {

// Takes the place of the game's vehicle update at its one call site: decides whether the
// handbrake byte is engaged and whether the game's function runs at all.
std::uint64_t GAME_CALL VehicleUpdateHook(void* updateObject);

}  // namespace taviro
