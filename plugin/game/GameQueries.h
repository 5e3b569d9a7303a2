// The questions the hook asks the game, each one call of a game function. None of them keeps or
// changes any state of the plugin's.
#pragma once

#include <cstdint>

namespace taviro {

// Asks the game's UI whether the named menu is open. The game string built for the question is
// released on every path, also when the query throws.
bool IsMenuOpenByName(void* gameUi, const char* menuName);

// The game's two float queries on the tracked object; -1.0 without asking the game when there is
// no tracked object, so that a missing object never reads as 0.0.
float QueryTrackedFloat1(void* trackedSingleton);
float QueryTrackedFloat2(void* trackedSingleton);

// The game's argument-less truth query.
bool QueryGameFlag();

}  // namespace taviro
