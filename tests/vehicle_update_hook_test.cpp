// The handbrake decision, driven with the game stand-in's objects in place.
#include <cmath>
#include <functional>
#include <future>
#include <limits>
#include <stdexcept>
#include <thread>
#include <vector>

#include "input/GamepadReader.h"
#include "settings/Settings.h"
#include "settings/SettingsWatcher.h"
#include "support/HookFixture.h"

namespace taviro::testing {
namespace {

// --- Every row of the outcome table ---------------------------------------------------------

struct OutcomeRow {
    const char* name;
    std::function<void(HookTest&, testbed::Game&, ControlState&)> arrange;
    std::uint8_t byteBefore;
    std::uint8_t byteAfter;
    bool gameRuns;
    std::function<void(Snapshot&)> change;
};

class OutcomeTable : public HookTest, public ::testing::WithParamInterface<OutcomeRow> {};

TEST_P(OutcomeTable, StateByteAndResult) {
    const OutcomeRow& row = GetParam();
    EnterDecisionPhase();
    game.SetHandbrakeByte(row.byteBefore);
    row.arrange(*this, game, state);
    Snapshot expected = Snapshot::Take();
    row.change(expected);

    const std::uint64_t result = Call();

    EXPECT_EQ(result, row.gameRuns ? kGameResult : 0u);
    EXPECT_EQ(game.Count().vehicleUpdates, row.gameRuns ? 1u : 0u);
    EXPECT_EQ(game.HandbrakeByte(), row.byteAfter);
    EXPECT_EQ(state.handbrakeEngaged.load(), row.byteAfter == 0x03);
    EXPECT_EQ(Snapshot::Take(), expected);
    if (row.gameRuns) {
        EXPECT_EQ(game.ByteSeenByLastUpdate(), row.byteAfter) << "byte set before the game ran";
        EXPECT_EQ(game.LastUpdateObject(), &vehicle);
    }
}

auto NoChange = [](Snapshot&) {};

INSTANTIATE_TEST_SUITE_P(
    Hook, OutcomeTable,
    ::testing::Values(
        OutcomeRow{
            "FaderMenuOpen",
            [](HookTest&, testbed::Game& g, ControlState&) { g.SetMenuOpen("FaderMenu", true); },
            0x03, 0x00, true, [](Snapshot& s) { s.warmupCount = 0; }},
        OutcomeRow{
            "LoadingMenuOpen",
            [](HookTest&, testbed::Game& g, ControlState&) { g.SetMenuOpen("LoadingMenu", true); },
            0x03, 0x00, true, [](Snapshot& s) { s.warmupCount = 0; }},
        OutcomeRow{"WarmingUp",
                   [](HookTest&, testbed::Game&, ControlState& s) { s.warmupCount = 5; }, 0x03,
                   0x00, true,
                   [](Snapshot& s) {
                       s.warmupCount = 6;
                       s.windowCount = 11;  // the first float reads 0.0
                   }},
        OutcomeRow{"TrackedObjectMissing",
                   [](HookTest&, testbed::Game&, ControlState& s) { s.trackedSingleton = nullptr; },
                   0x03, 0x00, true, NoChange},
        OutcomeRow{"TrackedFieldZero",
                   [](HookTest&, testbed::Game& g, ControlState&) { g.SetTrackedField(0); }, 0x03,
                   0x00, true, NoChange},
        OutcomeRow{"GameFlagSet",
                   [](HookTest&, testbed::Game& g, ControlState&) { g.SetTruth(true); }, 0x03, 0x00,
                   true, NoChange},
        OutcomeRow{"HotkeyHeld",
                   [](HookTest&, testbed::Game&, ControlState& s) {
                       BindHotkey(GameFixture::kHotkey);
                       testbed::Game::SetKeyDown(GameFixture::kHotkey, true);
                       s.activationWindowOpen = true;  // would count, but the key comes first
                   },
                   0x00, 0x03, true, NoChange},
        OutcomeRow{"CountingEngaged",
                   [](HookTest&, testbed::Game&, ControlState& s) {
                       s.activationWindowOpen = true;
                       s.engageStage = 3;
                   },
                   0x00, 0x03, true, [](Snapshot& s) { s.windowCount = 11; }},
        OutcomeRow{
            "CountingNotYet",
            [](HookTest&, testbed::Game&, ControlState& s) { s.activationWindowOpen = true; }, 0x03,
            0x00, false,
            [](Snapshot& s) {
                s.windowCount = 11;
                s.engageStage = 2;
            }},
        OutcomeRow{"ResetPath", [](HookTest&, testbed::Game&, ControlState&) {}, 0x03, 0x00, false,
                   [](Snapshot& s) { s.engageStage = -1; }}),
    [](const ::testing::TestParamInfo<OutcomeRow>& row) { return row.param.name; });

TEST_F(HookTest, BusyLockReleasesTheByteRunsTheGameAndLeavesTheStateAlone) {
    EnterDecisionPhase();
    state.activationWindowOpen = true;
    const Snapshot before = Snapshot::Take();
    std::promise<void> locked;
    std::promise<void> done;
    std::thread holder([&] {
        std::lock_guard lock(StateMutex);
        locked.set_value();
        done.get_future().wait();
    });
    locked.get_future().wait();

    EXPECT_EQ(Call(), kGameResult);
    EXPECT_EQ(game.HandbrakeByte(), 0x00);
    EXPECT_FALSE(state.handbrakeEngaged.load());
    EXPECT_EQ(game.Count().menuQueries, 0u) << "the busy path must not ask the game anything";

    done.set_value();
    holder.join();
    EXPECT_EQ(Snapshot::Take(), before);
}

// --- Warm-up ----------------------------------------------------------------------------------

TEST_F(HookTest, ThirtyCallsWarmUpAndTheThirtyFirstDecides) {
    game.SetFloat1(0.0f);  // a decision would take the reset path and return 0
    for (std::uint32_t i = 1; i <= kWarmupCalls; ++i) {
        ASSERT_EQ(Call(), kGameResult) << "warm-up call " << i;
        ASSERT_EQ(state.warmupCount, i);
    }
    EXPECT_EQ(Call(), 0u);
    EXPECT_EQ(state.warmupCount, kWarmupCalls);
}

TEST_F(HookTest, LoadScreenInTheDecisionPhaseRestartsTheWarmUp) {
    EnterDecisionPhase();
    ASSERT_EQ(Call(), 0u);
    for (const char* menu : {"FaderMenu", "LoadingMenu"}) {
        game.SetMenuOpen(menu, true);
        EXPECT_EQ(Call(), kGameResult);
        EXPECT_EQ(state.warmupCount, 0u) << menu;
        game.SetMenuOpen(menu, false);
        for (std::uint32_t i = 0; i < kWarmupCalls; ++i) {
            ASSERT_EQ(Call(), kGameResult);
        }
        EXPECT_EQ(Call(), 0u) << "the 31st call after " << menu << " decides";
    }
}

TEST_F(HookTest, WarmUpAdvancesTheWindowUpTo150AndLeavesTheActivationWindow) {
    game.SetFloat1(0.0f);
    state.windowCount = 148;
    state.activationWindowOpen = true;
    for (int i = 0; i < 5; ++i) {
        Call();
    }
    EXPECT_EQ(state.windowCount, 150);
    EXPECT_TRUE(state.activationWindowOpen);

    game.SetFloat1(0.5f);
    state.warmupCount = 0;
    state.windowCount = 3;
    Call();
    EXPECT_EQ(state.windowCount, 3) << "a nonzero first float does not advance the window";
}

TEST_F(HookTest, MissingTrackedObjectNeverAdvancesTheWindowAndEndsEveryDecision) {
    state.trackedSingleton = nullptr;
    state.windowCount = 0;
    state.activationWindowOpen = true;
    for (std::uint32_t i = 0; i < kWarmupCalls + 10; ++i) {
        ASSERT_EQ(Call(), kGameResult);
    }
    EXPECT_EQ(state.windowCount, 0);
    EXPECT_EQ(game.Count().float1Queries, 0u);
    EXPECT_EQ(state.engageStage, -1);
}

// --- Counting path ----------------------------------------------------------------------------

TEST_F(HookTest, FourCountingCallsReturnZeroThenTheFifthEngages) {
    EnterDecisionPhase();
    state.engageStage = -1;
    state.windowCount = 0;
    state.activationWindowOpen = true;
    for (int stage = 0; stage <= 3; ++stage) {
        EXPECT_EQ(Call(), 0u);
        EXPECT_EQ(state.engageStage, stage);
        EXPECT_EQ(game.HandbrakeByte(), 0x00);
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Call(), kGameResult);
        EXPECT_EQ(game.HandbrakeByte(), 0x03);
        EXPECT_EQ(state.engageStage, 3);
    }

    // One reset-path call starts the count again.
    state.activationWindowOpen = false;
    EXPECT_EQ(Call(), 0u);
    EXPECT_EQ(state.engageStage, -1);
    EXPECT_EQ(game.HandbrakeByte(), 0x00);
    state.activationWindowOpen = true;
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(Call(), 0u);
    }
    EXPECT_EQ(Call(), kGameResult);
}

TEST_F(HookTest, CallsLeavingByDefaultOrHotkeyKeepTheStage) {
    EnterDecisionPhase();
    state.engageStage = 2;
    BindHotkey(kHotkey);
    testbed::Game::SetKeyDown(kHotkey, true);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Call(), kGameResult);
        EXPECT_EQ(game.HandbrakeByte(), 0x03);
    }
    testbed::Game::SetKeyDown(kHotkey, false);
    game.SetTruth(true);
    EXPECT_EQ(Call(), kGameResult);
    EXPECT_EQ(state.engageStage, 2);
}

// The hotkey as bound: a key or a controller's button, alone or with a modifier that must be held
// too. A controller code is read from the pad reader's word, never as a key: the desktop's key
// state has no say in it, even where it reports one held.
TEST_F(HookTest, AModifierMustBeHeldTooAndAControllerCodeIsReadFromThePads) {
    constexpr int kShift = 0x10, kG = 0x47, kPadA = 0xC3, kPadLB = 0xC8;
    struct Row {
        const char* what;
        int key, modifier;
        std::vector<int> keysDown;
        std::vector<int> padHeld;
        bool engaged;
    };
    const Row rows[] = {
        {"G alone", kG, 0, {kG}, {}, true},
        {"pad A held", kPadA, 0, {}, {kPadA}, true},
        {"pad A's code down as a key only", kPadA, 0, {kPadA}, {}, false},
        {"Shift + G, both", kG, kShift, {kShift, kG}, {}, true},
        {"Shift + G, G only", kG, kShift, {kG}, {}, false},
        {"Shift + G, Shift only", kG, kShift, {kShift}, {}, false},
        {"LB + A, both", kPadA, kPadLB, {}, {kPadLB, kPadA}, true},
        {"LB + A, A only", kPadA, kPadLB, {}, {kPadA}, false},
        {"Shift + pad A, both", kPadA, kShift, {kShift}, {kPadA}, true},
        {"Shift + pad A, pad A only", kPadA, kShift, {}, {kPadA}, false},
        {"pad LB + G, both", kG, kPadLB, {kG}, {kPadLB}, true},
        {"pad LB + G, LB only", kG, kPadLB, {}, {kPadLB}, false},
    };
    EnterDecisionPhase();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        BindHotkey(row.key, row.modifier);
        std::uint32_t held = 0;
        for (const int code : row.padHeld) {
            held |= gamepad::CodeBit(static_cast<std::uint32_t>(code));
        }
        gamepad::heldButtons.store(held);
        for (const int code : row.keysDown) {
            testbed::Game::SetKeyDown(code, true);
        }
        EXPECT_EQ(Call(), row.engaged ? kGameResult : 0u);
        EXPECT_EQ(game.HandbrakeByte(), row.engaged ? 0x03 : 0x00);
        for (const int code : row.keysDown) {
            testbed::Game::SetKeyDown(code, false);
        }
    }
    gamepad::heldButtons.store(0);
}

// The hotkey as a toggle: a press flips it, and it holds the handbrake with nothing held. A key's
// press is a call that finds it held after one that did not; a controller button's is one the pad
// reader counted since the last call, however short, two of them leaving it as it was. A modifier
// must be held at the hotkey's own press: held only once the hotkey is down, it presses nothing.
TEST_F(HookTest, APressTogglesAndAModifierMustBeHeldAtTheHotkeysOwnPress) {
    constexpr int kShift = 0x10, kG = 0x47, kPadA = 0xC3, kPadLB = 0xC8;
    struct Look {
        std::vector<int> keysDown;  // on the keyboard, and pad buttons held
        std::uint32_t padPresses;   // counted by the reader since the call before
        bool engaged;
    };
    struct Row {
        const char* what;
        int key, modifier;
        std::vector<Look> calls;
    };
    const Row rows[] = {
        {"G",
         kG,
         0,
         {{{}, 0, false},
          {{kG}, 0, true},
          {{kG}, 0, true},
          {{}, 0, true},
          {{kG}, 0, false},
          {{}, 0, false}}},
        {"Shift + G",
         kG,
         kShift,
         {{{}, 0, false},
          {{kG}, 0, false},
          {{kG, kShift}, 0, false},
          {{kShift}, 0, false},
          {{kShift, kG}, 0, true},
          {{}, 0, true},
          {{kG}, 0, true},
          {{}, 0, true},
          {{kShift, kG}, 0, false}}},
        {"pad A",
         kPadA,
         0,
         {{{}, 0, false}, {{}, 1, true}, {{kPadA}, 0, true}, {{}, 2, true}, {{}, 1, false}}},
        {"Shift + pad A",
         kPadA,
         kShift,
         {{{}, 0, false}, {{}, 1, false}, {{kShift}, 1, true}, {{kShift}, 0, true}}},
        {"pad LB + G",
         kG,
         kPadLB,
         {{{}, 0, false}, {{kG}, 0, false}, {{}, 0, false}, {{kPadLB, kG}, 0, true}}},
        {"pad LB + pad A, the reader counting A's presses with LB held",
         kPadA,
         kPadLB,
         {{{}, 0, false}, {{}, 1, true}}},
    };
    EnterDecisionPhase();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        BindHotkey(row.key, row.modifier, true);
        for (std::size_t i = 0; i < row.calls.size(); ++i) {
            SCOPED_TRACE(i);
            const Look& call = row.calls[i];
            std::uint32_t held = 0;
            for (const int code : call.keysDown) {
                held |= gamepad::CodeBit(static_cast<std::uint32_t>(code));
                testbed::Game::SetKeyDown(code,
                                          !gamepad::IsPadCode(static_cast<std::uint32_t>(code)));
            }
            gamepad::heldButtons.store(held);
            gamepad::hotkeyPresses.fetch_add(call.padPresses);
            EXPECT_EQ(Call(), call.engaged ? kGameResult : 0u);
            EXPECT_EQ(game.HandbrakeByte(), call.engaged ? 0x03 : 0x00);
            for (const int code : call.keysDown) {
                testbed::Game::SetKeyDown(code, false);
            }
        }
    }
    gamepad::heldButtons.store(0);
}

// Whatever stands aside for a held hotkey stands aside for a toggled one, which is on again after
// it: the busy lock, the tracked object not ready, the game's flag. A fade, a loading screen and
// a binding put in force that differs from the one before end it, a binding switched to holding
// and back included; the same binding put in force again (another key saved) keeps it on.
TEST_F(HookTest, OverridesKeepAToggleWhileFadesLoadsAndNewBindingsEndIt) {
    Settings toggled;
    toggled.hotkey.value = kHotkey;
    toggled.toggle.value = 1;
    Settings held = toggled;
    held.toggle.value = 0;
    Settings withModifier = toggled;
    withModifier.modifier.value = 0x10;
    const auto turnOn = [&] {
        testbed::Game::SetKeyDown(kHotkey, false);
        Call();
        testbed::Game::SetKeyDown(kHotkey, true);
        Call();
        testbed::Game::SetKeyDown(kHotkey, false);
        ASSERT_EQ(game.HandbrakeByte(), 0x03);
    };
    struct Override {
        const char* what;
        std::function<void(testbed::Game&, bool)> set;
    };
    const Override overrides[] = {
        {"the game's flag", [](testbed::Game& g, bool on) { g.SetTruth(on); }},
        {"not ready", [](testbed::Game& g, bool on) { g.SetTrackedField(on ? 0 : 1); }},
    };
    EnterDecisionPhase();
    PublishSettings(toggled);
    turnOn();
    for (const Override& o : overrides) {
        SCOPED_TRACE(o.what);
        o.set(game, true);
        EXPECT_EQ(Call(), kGameResult);
        EXPECT_EQ(game.HandbrakeByte(), 0x00);
        o.set(game, false);
        EXPECT_EQ(Call(), kGameResult);
        EXPECT_EQ(game.HandbrakeByte(), 0x03) << "still on";
    }
    {
        std::promise<void> locked, done;
        std::thread holder([&] {
            std::lock_guard lock(StateMutex);
            locked.set_value();
            done.get_future().wait();
        });
        locked.get_future().wait();
        EXPECT_EQ(Call(), kGameResult);
        EXPECT_EQ(game.HandbrakeByte(), 0x00);
        done.set_value();
        holder.join();
        EXPECT_EQ(Call(), kGameResult);
        EXPECT_EQ(game.HandbrakeByte(), 0x03) << "on after the busy lock";
    }
    PublishSettings(toggled);
    EXPECT_EQ(Call(), kGameResult) << "the same binding again keeps it on";

    const std::function<void()> enders[] = {
        [&] {
            game.SetMenuOpen("FaderMenu", true);
            Call();
            game.SetMenuOpen("FaderMenu", false);
            state.warmupCount = kWarmupCalls;
        },
        [&] {
            game.SetMenuOpen("LoadingMenu", true);
            Call();
            game.SetMenuOpen("LoadingMenu", false);
            state.warmupCount = kWarmupCalls;
        },
        [&] { PublishSettings(withModifier); },
        [&] {
            PublishSettings(held);
            PublishSettings(toggled);
        },
    };
    for (std::size_t i = 0; i < std::size(enders); ++i) {
        SCOPED_TRACE(i);
        enders[i]();
        EXPECT_EQ(Call(), 0u);
        EXPECT_EQ(game.HandbrakeByte(), 0x00) << "ended";
        PublishSettings(toggled);
        turnOn();
    }
    PublishSettings({});
}

TEST_F(HookTest, ActivationWindowClosesOnTheCallThatReaches150) {
    EnterDecisionPhase();
    state.activationWindowOpen = true;
    state.windowCount = 148;
    Call();
    EXPECT_TRUE(state.activationWindowOpen);
    EXPECT_EQ(state.windowCount, 149);
    Call();
    EXPECT_FALSE(state.activationWindowOpen);
    EXPECT_EQ(state.windowCount, 150);

    // Already at the limit: a counting call (first float nonzero) closes it and counts no more.
    state.activationWindowOpen = true;
    game.SetFloat1(2.0f);
    Call();
    EXPECT_FALSE(state.activationWindowOpen);
    EXPECT_EQ(state.windowCount, 150);
}

TEST_F(HookTest, NullUpdateObjectCountsOnlyInTheActivationWindowAndIsPassedOn) {
    EnterDecisionPhase();
    game.SetFloat1(2.0f);  // would count if it were asked
    EXPECT_EQ(VehicleUpdateHook(nullptr), 0u);
    EXPECT_EQ(state.engageStage, -1);
    EXPECT_EQ(game.Count().float1Queries, 0u);

    state.activationWindowOpen = true;
    state.engageStage = 3;
    EXPECT_EQ(VehicleUpdateHook(nullptr), kGameResult);
    EXPECT_EQ(game.LastUpdateObject(), nullptr);
}

TEST_F(HookTest, FloatComparisonsTreatNanAsNonzeroAndNegativeZeroAsZero) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EnterDecisionPhase();

    vehicle.SetFloat(-0.0f);
    Call();
    EXPECT_EQ(state.engageStage, 2) << "-0.0 at +0xE0 takes the counting path";
    EXPECT_EQ(game.Count().float1Queries, 0u);

    vehicle.SetFloat(nan);
    Call();
    EXPECT_EQ(game.Count().float1Queries, 1u) << "NaN at +0xE0 counts as nonzero";
    EXPECT_EQ(state.engageStage, -1);

    game.SetFloat1(nan);
    Call();
    EXPECT_EQ(state.engageStage, 0) << "a NaN first float takes the counting path";

    game.SetFloat1(-0.0f);
    Call();
    EXPECT_EQ(state.engageStage, -1) << "a -0.0 first float does not";
}

TEST_F(HookTest, ExitWindowCountsUntilTheSecondFloatReadsZeroAndThenForGood) {
    EnterDecisionPhase();
    state.engageStage = -1;
    state.exitWindowOpen = true;
    state.windowCount = 0;
    game.SetFloat2(1.0f);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Call(), 0u);
    }
    EXPECT_EQ(state.engageStage, 2);
    EXPECT_EQ(state.windowCount, 3);

    game.SetFloat2(-0.0f);
    EXPECT_EQ(Call(), 0u);
    EXPECT_FALSE(state.exitWindowOpen);
    EXPECT_EQ(state.engageStage, -1);

    game.SetFloat2(1.0f);
    Call();
    EXPECT_EQ(state.engageStage, -1) << "the exit window stays closed";
}

TEST_F(HookTest, ExitWindowStopsCountingAt150) {
    EnterDecisionPhase();
    state.exitWindowOpen = true;
    state.windowCount = 150;
    Call();
    EXPECT_EQ(state.engageStage, -1);
    EXPECT_TRUE(state.exitWindowOpen);
}

// --- Faults the game must never see ----------------------------------------------------------

TEST_F(HookTest, NoUiYetTakesTheDefaultWayOutWithoutAskingTheGame) {
    EnterDecisionPhase();
    state.gameUi = nullptr;
    EXPECT_EQ(Call(), kGameResult);
    EXPECT_EQ(game.Count().menuQueries, 0u);
    EXPECT_EQ(game.Count().stringsBuilt, 0u);
    EXPECT_EQ(game.HandbrakeByte(), 0x00);
}

TEST_F(HookTest, AThrowingMenuQueryReleasesTheStringAndTheLock) {
    EnterDecisionPhase();
    const Snapshot before = Snapshot::Take();
    game.SetMenuQueryThrows(true);
    EXPECT_THROW(Call(), std::runtime_error);
    EXPECT_EQ(game.Count().stringsBuilt, 1u);
    EXPECT_EQ(game.Count().stringsReleased, 1u);
    EXPECT_EQ(Snapshot::Take(), before);
    std::thread other([] {
        std::unique_lock lock(StateMutex, std::try_to_lock);
        EXPECT_TRUE(lock.owns_lock());
    });
    other.join();
}

}  // namespace
}  // namespace taviro::testing
