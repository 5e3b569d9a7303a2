// The handbrake decision, driven with the game stand-in's objects in place.
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <limits>
#include <regex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "GamepadReader.h"
#include "VehicleUpdateHook.h"
#include "support/AllocationCounter.h"
#include "support/GameFixture.h"
#include "support/PluginFolder.h"
#ifndef _WIN32
#include "winshim/control.h"
#endif

namespace taviro::testing {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kGameResult = testbed::Game::kVehicleUpdateResult;

struct Snapshot {
    std::uint32_t warmupCount;
    std::int32_t windowCount;
    bool activationWindowOpen;
    bool exitWindowOpen;
    std::int32_t engageStage;

    static Snapshot Take() {
        const ControlState& s = controlState;
        return {s.warmupCount, s.windowCount, s.activationWindowOpen, s.exitWindowOpen,
                s.engageStage};
    }
    bool operator==(const Snapshot&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Snapshot& s) {
    return os << "{warmup " << s.warmupCount << ", window " << s.windowCount << ", activation "
              << s.activationWindowOpen << ", exit " << s.exitWindowOpen << ", stage "
              << s.engageStage << "}";
}

class HookTest : public GameFixture {
protected:
    void SetUp() override {
        GameFixture::SetUp();
        vehicle.SetFloat(1.0f);
    }

    // Past the warm-up, nothing open, no window: a call here takes the reset path.
    void EnterDecisionPhase() {
        state.warmupCount = kWarmupCalls;
        state.windowCount = 10;
        state.engageStage = 1;
        game.SetFloat1(0.0f);
    }

    std::uint64_t Call() { return VehicleUpdateHook(&vehicle); }

    testbed::UpdateObject vehicle;
};

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

// --- The trace ------------------------------------------------------------------------------

// The hotkey held and let go on alternate calls inside an activation window, which keeps the
// handbrake engaged either way: the state never changes, only the reason. Each change of reason
// is a line, in a burst of 16 and then one per 120 calls, and every line is true of its frame.
TEST_F(HookTest, ANewReasonIsTracedAndAFlickeringOneIsBounded) {
    PluginFolder folder;
    ASSERT_TRUE(log::Open({folder.Plugins()}));
    EnterDecisionPhase();
    for (int i = 0; i < 2100; ++i) {
        Call();  // untraced: whatever earlier tests took of the budget is back
    }
    BindHotkey(kHotkey);
    state.activationWindowOpen = true;
    state.engageStage = kEngageStageEngaged;
    state.loggingEnabled = true;
    constexpr int kCalls = 1200;
    const std::uint64_t first = HookCallCount() + 1;
    for (int i = 0; i < kCalls; ++i) {
        state.windowCount = 0;  // the window stays open
        testbed::Game::SetKeyDown(kHotkey, i % 2 == 0);
        ASSERT_EQ(Call(), kGameResult);
        if (i % 256 == 0) {
            log::Flush();
        }
    }
    state.loggingEnabled = false;
    const fs::path path = log::Path();
    log::Close();
    const std::string written = FileText(path);
    const std::regex line(R"(trace frame=(\d+) why=(\S+) handbrake=engaged stage=3 )");
    std::vector<std::uint64_t> traced;
    for (auto it = std::sregex_iterator(written.begin(), written.end(), line);
         it != std::sregex_iterator(); ++it) {
        const std::uint64_t frame = std::stoull((*it)[1].str());
        ASSERT_GE(frame, first) << written;
        const bool held = (frame - first) % 2 == 0;
        EXPECT_EQ((*it)[2].str(), held ? "hotkey-held" : "counting:activation-window")
            << "frame " << frame;
        traced.push_back(frame);
    }
    ASSERT_GE(traced.size(), 16u) << written;
    for (std::uint64_t i = 0; i < 16; ++i) {
        EXPECT_EQ(traced[i], first + i) << "a change within the burst went unsaid";
    }
    EXPECT_LE(traced.size(), 16u + kCalls / 120 + 1);
    EXPECT_GE(traced.size(), 16u + kCalls / 120 - 1) << "the reason must go on being said";
}

// --- Steady state cost ------------------------------------------------------------------------

// With the decision trace on, every switch on the way is a trace line; writing it is the log
// writer's business, so the hook allocates nothing even then.
TEST_F(HookTest, NothingAllocatedAndNoProtectionChangedWithTheTraceOnOrOff) {
    PluginFolder folder;
    ASSERT_TRUE(log::Open({folder.Plugins()}));
    for (const bool tracing : {false, true}) {
        SCOPED_TRACE(tracing ? "trace on" : "trace off");
        EnterDecisionPhase();
        state.loggingEnabled = tracing;
        BindHotkey(kHotkey);  // the key is asked on every call, held or not
        state.activationWindowOpen = true;
        state.windowCount = 0;
        game.SetHandbrakeByte(0x00);
        const std::uint64_t allocations = ThreadAllocations();
        for (int i = 0; i < 5; ++i) {
            Call();  // counting up to the engaged steady state: five trace lines
        }
        ASSERT_EQ(game.HandbrakeByte(), 0x03);
#ifndef _WIN32
        const std::uint64_t protects = winshim::ProtectCallCount();
#endif
        for (int i = 0; i < 100; ++i) {
            ASSERT_EQ(Call(), kGameResult);
        }
        EXPECT_EQ(ThreadAllocations(), allocations);
#ifndef _WIN32
        EXPECT_EQ(winshim::ProtectCallCount(), protects);
#endif
        EXPECT_EQ(game.HandbrakeProtection(), static_cast<DWORD>(PAGE_EXECUTE_READ));
    }
    const fs::path path = log::Path();
    log::Close();
    const std::string written = FileText(path);
    EXPECT_NE(written.find("why=counting:activation-window handbrake=engaged stage=3"),
              std::string::npos)
        << written;
}

// The byte's troubles are said once per process, word for word as below, and worded by the log's
// writer, not the hook: a queue full at that moment loses nothing. Both in one test, since each
// is said once per process.
TEST_F(HookTest, AFullQueueKeepsTheOnceOnlyReports) {
    PluginFolder folder;
    ASSERT_TRUE(log::Open({folder.Plugins()}));
    EnterDecisionPhase();
    const std::uint64_t dropped = log::Dropped();
    for (int i = 0; i < 1100; ++i) {
        log::Info("a line that fills the queue");
    }
    ASSERT_GT(log::Dropped(), dropped);

    // A byte whose page the system will not make writable: its protection window runs into
    // memory that is reserved and never committed, on Windows and in the stand-in alike.
    constexpr std::size_t kPage = 0x1000;
    auto* region =
        static_cast<std::uint8_t*>(VirtualAlloc(nullptr, 2 * kPage, MEM_RESERVE, PAGE_NOACCESS));
    ASSERT_NE(region, nullptr);
    ASSERT_NE(VirtualAlloc(region, kPage, MEM_COMMIT, PAGE_READWRITE), nullptr);
    std::uint8_t* const byte = region + kPage - 100;
    *byte = 0x00;
    std::uint8_t* const gamesSite = state.patchSite.load();
    state.patchSite.store(byte - 6);
    state.activationWindowOpen = true;
    state.engageStage = 3;  // counting, engaged: the byte is asked to switch
    Call();
    Call();
    state.patchSite.store(gamesSite);
    VirtualFree(region, 0, MEM_RELEASE);

    game.SetHandbrakeByte(0x01);  // neither released nor engaged: another plugin's
    Call();
    Call();
    log::Flush();
    Call();
    const fs::path path = log::Path();
    log::Close();
    const std::string written = FileText(path);
    for (const std::string report :
         {"error the system refused to make the game's code at Starfield.exe+3046395 writable; "
          "the handbrake byte stays as the game has it (reported once)",
          "error the handbrake byte at Starfield.exe+3046395+6 is neither 0x00 nor 0x03: another "
          "game version, or another plugin changed it; it is left alone (reported once)"}) {
        const auto first = written.find(report);
        ASSERT_NE(first, std::string::npos) << report << "\n" << written;
        const char end = written[first + report.size()];
        EXPECT_TRUE(end == '\n' || end == ' ') << "more words after: " << report;
        EXPECT_EQ(written.find(report, first + 1), std::string::npos) << "said twice: " << report;
    }
}

// A release after the hotkey is traced as what made it: the key let go when the decision itself
// releases, but a fade, a load screen or the game's flag, which come before it, as themselves.
TEST_F(HookTest, AReleaseAfterTheHotkeyIsTracedAsWhatMadeIt) {
    struct Release {
        const char* cause;
        std::function<void(testbed::Game&)> make;
    };
    const Release releases[] = {
        {"hotkey-let-go", [](testbed::Game&) { testbed::Game::SetKeyDown(kHotkey, false); }},
        {"fade", [](testbed::Game& g) { g.SetMenuOpen("FaderMenu", true); }},
        {"load-screen", [](testbed::Game& g) { g.SetMenuOpen("LoadingMenu", true); }},
        {"game-flag", [](testbed::Game& g) { g.SetTruth(true); }},
    };
    for (const Release& release : releases) {
        SCOPED_TRACE(release.cause);
        PluginFolder folder;
        ASSERT_TRUE(log::Open({folder.Plugins()}));
        EnterDecisionPhase();
        state.loggingEnabled = true;
        BindHotkey(kHotkey);
        testbed::Game::SetKeyDown(kHotkey, true);
        Call();
        ASSERT_TRUE(state.handbrakeEngaged.load());
        release.make(game);  // the key stays held, but for the key's own release
        Call();
        ASSERT_FALSE(state.handbrakeEngaged.load());
        const fs::path path = log::Path();
        log::Close();
        state.loggingEnabled = false;
        testbed::Game::SetKeyDown(kHotkey, false);
        game.SetMenuOpen("FaderMenu", false);
        game.SetMenuOpen("LoadingMenu", false);
        game.SetTruth(false);

        const std::string written = FileText(path);
        const auto last = written.rfind(" trace frame=");
        ASSERT_NE(last, std::string::npos) << written;
        const std::string line = written.substr(last, written.find('\n', last) - last);
        EXPECT_NE(line.find(std::string(" why=") + release.cause + " handbrake=released"),
                  std::string::npos)
            << line;
    }
}

}  // namespace
}  // namespace taviro::testing
