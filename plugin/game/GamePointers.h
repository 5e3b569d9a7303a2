// The game addresses the handbrake control keeps, read afresh at every data load, game load and
// close of the end credits.
#pragma once

#include <cstdint>

namespace taviro {

inline constexpr char kActivationFilterFile[] = "SFBGS004.esm";
inline constexpr char kActivationFilterFormId[] = "017";

struct GamePointers {
    void* gameUi = nullptr;
    void* trackedSingleton = nullptr;
    std::uint8_t* patchSite = nullptr;
    void* activationFilterForm = nullptr;  // null when its file is not loaded or lacks it
    bool filterFileLoaded = false;         // whether the game has kActivationFilterFile loaded
};

// Reads the four from the game as they stand, nulls included. Takes no lock and stores nothing.
[[nodiscard]] GamePointers RefreshGamePointers() noexcept;

// Tells the log what the refresh found, and what is missing means for the player.
void LogGamePointers(const GamePointers& pointers);

}  // namespace taviro
