// A freshly started game with the plugin's state at its initial values and the game pointers
// wired as the data-loaded refresh leaves them. Checks after every test that the plugin kept
// the game's contracts: every string it built was released, every call had valid arguments.
#pragma once

#include <gtest/gtest.h>

#include <mutex>

#include "Win32.h"
#include "plugin/ControlState.h"
#include "plugin/GameAddresses.h"
#include "testbed/GameImage.h"
#include "testbed/GameLayout.h"
#include "testbed/GameRuntime.h"

namespace taviro::testing {

inline void ResetControlState() {
    std::lock_guard lock(StateMutex);
    ControlState& s = controlState;
    s.warmupCount = 0;
    s.windowCount = kWindowLength;
    s.activationWindowOpen = false;
    s.exitWindowOpen = false;
    s.engageStage = kEngageStageReset;
    s.handbrakeEngaged.store(true);
    s.hotkeyCode = 0;
    s.loggingEnabled = false;
    s.gameUi = nullptr;
    s.trackedSingleton = nullptr;
    s.patchSite.store(nullptr);
    s.activationFilterForm.store(nullptr);
}

class GameFixture : public ::testing::Test {
public:
    static constexpr int kHotkey = 0x47;  // G

protected:
    void SetUp() override {
        game.Reset();
        testbed::Game::SetKeyDown(kHotkey, false);
        ResolveStartupAddresses();
        ResetControlState();
        std::lock_guard lock(StateMutex);
        controlState.gameUi = game.Ui();
        controlState.trackedSingleton = game.Tracked();
        controlState.patchSite.store(testbed::GameImage::Get().At(testbed::layout::kPatchSite));
    }

    void TearDown() override {
        const auto count = game.Count();
        EXPECT_EQ(count.stringsBuilt, count.stringsReleased) << "game strings leaked";
        EXPECT_EQ(count.contractViolations, 0u) << "a game function got invalid arguments";
        testbed::Game::SetKeyDown(kHotkey, false);
    }

    testbed::Game& game = testbed::Game::Get();
    ControlState& state = controlState;
};

}  // namespace taviro::testing
