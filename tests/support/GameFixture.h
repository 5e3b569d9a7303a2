// A freshly started game with the plugin's state at its initial values and the game pointers
// wired as the data-loaded refresh leaves them. Checks after every test that the plugin kept
// the game's contracts: every string it built was released, every call had valid arguments.
#pragma once

#include <gtest/gtest.h>

#include "Win32.h"
#include "support/GameState.h"

namespace taviro::testing {

class GameFixture : public ::testing::Test {
public:
    static constexpr int kHotkey = 0x47;  // G

protected:
    void SetUp() override {
        StartGameWithDataLoaded(game);
        testbed::Game::SetKeyDown(kHotkey, false);
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
