// Game functions whose addresses are fixed once, when the library starts, and the game's string
// handle that two of them work on.
#pragma once

#include <cstdint>

#include "plugin/GameMemory.h"

namespace taviro {

// The game's one-pointer string handle. Built and released only by the game's own functions.
struct GameString {
    void* entry = nullptr;
};

using GameStringBuildFn = game::Function<void*, GameString*, const char*, std::uint32_t>;
using GameStringReleaseFn = game::Function<void, GameString*>;
using LookupFormByIdFn = game::Function<void*, std::uint32_t>;

extern GameStringBuildFn gameStringBuild;
extern GameStringReleaseFn gameStringRelease;
extern LookupFormByIdFn LookupFormById;

// Sets gameBase from the process's main module and resolves the functions above. Runs during
// the library's static initialisation; test programs that put a game image in place after that
// run it again.
void ResolveStartupAddresses();

}  // namespace taviro
