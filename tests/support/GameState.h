// The plugin's state put where the load entry and the data-loaded listener would put it, with the
// testbed's game in place: for tests and benchmarks that drive the plugin's units directly.
#pragma once

#include <cstdint>
#include <mutex>

#include "GameImage.h"
#include "GameLayout.h"
#include "GameRuntime.h"
#include "game/GameMemory.h"
#include "hook/ControlState.h"

namespace taviro::testing {

inline void ResetControlState() {
    std::lock_guard lock(StateMutex);
    ControlState& s = controlState;
    s.warmupCount = 0;
    s.windowCount = kWindowLength;
    s.activationWindowOpen = false;
    s.exitWindowOpen = false;
    s.engageStage = kEngageStageReset;
    s.toggle = {};
    s.handbrakeEngaged.store(true);
    s.hotkey.store(0);
    s.loggingEnabled.store(false);
    s.gameUi = nullptr;
    s.trackedSingleton = nullptr;
    s.patchSite.store(nullptr);
    s.activationFilterForm.store(nullptr);
}

// The hotkey in force, as a settings reload would publish it; 0 for none.
inline void BindHotkey(int key, int modifier = 0, bool toggle = false) {
    controlState.hotkey.store(
        HotkeyBinding{static_cast<std::uint8_t>(key), static_cast<std::uint8_t>(modifier), toggle}
            .Word());
}

// The hotkey in force as the settings give it: the word the hook reads, without the number of the
// change that brought it.
inline std::uint32_t HotkeyInForce() {
    HotkeyBinding binding = HotkeyBinding::FromWord(controlState.hotkey.load());
    binding.change = 0;
    return binding.Word();
}

inline std::uint8_t* PatchSite() {
    return testbed::GameImage::Get().At(testbed::layout::kHandbrakePatchSite);
}

// A freshly started game with the plugin loaded into it and its data loaded: the game's base
// known, the state at its initial values and the game pointers as the refresh leaves them.
inline void StartGameWithDataLoaded(testbed::Game& game) {
    game.Reset();
    gameBase.store(reinterpret_cast<std::uintptr_t>(testbed::GameImage::Get().Base()));
    ResetControlState();
    std::lock_guard lock(StateMutex);
    controlState.gameUi = game.Ui();
    controlState.trackedSingleton = game.Tracked();
    controlState.patchSite.store(PatchSite());
}

}  // namespace taviro::testing
