// The four sinks, called as the game calls them: through slot 1 of their virtual tables.
#include <atomic>
#include <chrono>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <thread>

#include "DataFiles.h"
#include "EventSinks.h"
#include "GameEvents.h"
#include "game/FormLookup.h"
#include "support/GameFixture.h"
#include "support/PluginFolder.h"

namespace taviro::testing {
namespace {

using testbed::ActivateEventRecord;
using testbed::GameEvents;

class SinkTest : public GameFixture {
protected:
    void SetUp() override {
        GameFixture::SetUp();
        events.Reset();
        testbed::DataFiles::Get().Reset();
        filterForm = testbed::DataFiles::Get().InstallDefaultLoadOrder();
        controlState.activationFilterForm.store(filterForm);
        for (auto kind : {testbed::EventKind::Menu, testbed::EventKind::LoadGame,
                          testbed::EventKind::ExitVehicle, testbed::EventKind::Activate}) {
            RegisterSinkFor(kind);
        }
        // A passing activation: the player (value 0x14) activates a reference whose base object
        // has type code 0x2F and which the game's reference test matches.
        baseObject = events.MakeBaseObject(0x2F);
        activated.SetBaseObject(&baseObject);
        acting.SetValue(0x14);
        activation = {&activated, &acting};
    }

    void RegisterSinkFor(testbed::EventKind kind) {
        using RegisterFn = void(TESTBED_GAME_CALL*)(void*, void*);
        auto reg = reinterpret_cast<RegisterFn>(
            testbed::GameImage::Get().At(testbed::layout::kRegisterSink));
        void* sink = nullptr;
        switch (kind) {
            case testbed::EventKind::Menu:
                sink = &menuOpenCloseSink;
                break;
            case testbed::EventKind::LoadGame:
                sink = &loadGameSink;
                break;
            case testbed::EventKind::ExitVehicle:
                sink = &exitVehicleSink;
                break;
            case testbed::EventKind::Activate:
                sink = &activateSink;
                break;
        }
        reg(events.Source(kind), sink);
    }

    // Dispatches and checks that every sink answered "continue".
    static void ExpectContinue(const std::vector<std::uint32_t>& results) {
        ASSERT_EQ(results.size(), 1u);
        EXPECT_EQ(results[0], 0u);
    }

    void OpenWindowsAndStages() {
        std::lock_guard lock(StateMutex);
        state.warmupCount = 30;
        state.engageStage = 2;
        state.windowCount = 77;
        state.exitWindowOpen = true;
        state.activationWindowOpen = false;
        state.toggle.on = true;  // a toggled hotkey holding the handbrake
    }

    GameEvents& events = GameEvents::Get();
    void* filterForm = nullptr;
    testbed::BaseObject baseObject{};
    testbed::Reference activated;
    testbed::Reference acting;
    ActivateEventRecord activation{};
};

TEST_F(SinkTest, SlotZeroNeverFreesTheStaticSinks) {
    using SlotZero = void*(TESTBED_GAME_CALL*)(void*, std::uint32_t);
    for (void* sink : std::initializer_list<void*>{&loadGameSink, &menuOpenCloseSink,
                                                   &exitVehicleSink, &activateSink}) {
        void* const* table = *static_cast<void* const* const*>(sink);
        auto destroy = reinterpret_cast<SlotZero>(table[0]);
        EXPECT_EQ(destroy(sink, 0), sink);
        // The game may ask for the memory too; freeing static storage would corrupt the heap.
        EXPECT_EQ(destroy(sink, 1), sink);
    }
    ExpectContinue(events.DispatchExitVehicle());
    EXPECT_TRUE(state.exitWindowOpen);
}

TEST_F(SinkTest, ExitVehicleAlwaysOpensTheExitWindow) {
    {
        std::lock_guard lock(StateMutex);
        state.activationWindowOpen = true;
        state.windowCount = 150;
        state.toggle.on = true;
    }
    ExpectContinue(events.DispatchExitVehicle());
    EXPECT_TRUE(state.exitWindowOpen);
    EXPECT_FALSE(state.activationWindowOpen);
    EXPECT_EQ(state.windowCount, 0);
    EXPECT_TRUE(state.toggle.on) << "a handbrake stays on when the driver walks away";
}

TEST_F(SinkTest, AnEventOnTheThreadThatHoldsTheLockDoesNotBlock) {
    std::lock_guard lock(StateMutex);  // as inside the game function the hook runs
    ExpectContinue(events.DispatchExitVehicle());
    EXPECT_TRUE(state.exitWindowOpen);
}

// The hook holds the lock while it decides; an exit or an activation on another thread opens
// its window only once the decision is over, never in the middle of it.
TEST_F(SinkTest, AnEventOnAnotherThreadWaitsForTheLock) {
    std::unique_lock lock(StateMutex);
    state.exitWindowOpen = false;
    state.activationWindowOpen = true;
    state.windowCount = 150;
    std::atomic<bool> dispatched{false};
    std::thread gameThread([&] {
        events.DispatchExitVehicle();
        dispatched.store(true);
    });
    // However long the other thread takes to start, nothing of the state may move meanwhile.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(dispatched.load());
    EXPECT_FALSE(state.exitWindowOpen);
    EXPECT_TRUE(state.activationWindowOpen);
    EXPECT_EQ(state.windowCount, 150);
    lock.unlock();
    gameThread.join();
    lock.lock();
    EXPECT_TRUE(state.exitWindowOpen);
    EXPECT_FALSE(state.activationWindowOpen);
    EXPECT_EQ(state.windowCount, 0);
}

TEST_F(SinkTest, PassingActivationOpensTheActivationWindow) {
    OpenWindowsAndStages();
    ExpectContinue(events.DispatchActivate(activation));
    EXPECT_TRUE(state.activationWindowOpen);
    EXPECT_FALSE(state.exitWindowOpen);
    EXPECT_EQ(state.windowCount, 0);
    EXPECT_EQ(events.LastReferenceTested(), &activated);
    EXPECT_EQ(events.LastFormTested(), filterForm);
}

struct FailedActivation {
    const char* name;
    void (*spoil)(SinkTest&, ActivateEventRecord&, testbed::Reference&, testbed::Reference&,
                  testbed::BaseObject&);
    bool asksTypeCode;
    bool asksReferenceTest;
};

class ActivationFilter : public SinkTest, public ::testing::WithParamInterface<FailedActivation> {};

TEST_P(ActivationFilter, FailsEarlyWithoutTouchingTheState) {
    const FailedActivation& c = GetParam();
    OpenWindowsAndStages();
    c.spoil(*this, activation, activated, acting, baseObject);
    ExpectContinue(events.DispatchActivate(activation));
    EXPECT_FALSE(state.activationWindowOpen);
    EXPECT_TRUE(state.exitWindowOpen);
    EXPECT_EQ(state.windowCount, 77);
    EXPECT_EQ(events.TypeCodeCalls() > 0, c.asksTypeCode);
    EXPECT_EQ(events.ReferenceTestCalls() > 0, c.asksReferenceTest);
}

INSTANTIATE_TEST_SUITE_P(
    Sinks, ActivationFilter,
    ::testing::Values(
        FailedActivation{"NoActor",
                         [](SinkTest&, ActivateEventRecord& e, testbed::Reference&,
                            testbed::Reference&, testbed::BaseObject&) { e.acting = nullptr; },
                         false, false},
        FailedActivation{"NothingActivated",
                         [](SinkTest&, ActivateEventRecord& e, testbed::Reference&,
                            testbed::Reference&, testbed::BaseObject&) { e.activated = nullptr; },
                         false, false},
        FailedActivation{
            "ActorValueNot0x14",
            [](SinkTest&, ActivateEventRecord&, testbed::Reference&, testbed::Reference& acting,
               testbed::BaseObject&) { acting.SetValue(0x15); },
            false, false},
        FailedActivation{
            "NoBaseObject",
            [](SinkTest&, ActivateEventRecord&, testbed::Reference& activated, testbed::Reference&,
               testbed::BaseObject&) { activated.SetBaseObject(nullptr); },
            false, false},
        FailedActivation{
            "TypeCodeNot0x2F",
            [](SinkTest&, ActivateEventRecord&, testbed::Reference&, testbed::Reference&,
               testbed::BaseObject& base) { base.typeCode = 0x2E; },
            true, false},
        FailedActivation{
            "NoFilterForm",
            [](SinkTest&, ActivateEventRecord&, testbed::Reference&, testbed::Reference&,
               testbed::BaseObject&) { controlState.activationFilterForm.store(nullptr); },
            true, false},
        FailedActivation{
            "ReferenceTestSaysNo",
            [](SinkTest&, ActivateEventRecord&, testbed::Reference&, testbed::Reference&,
               testbed::BaseObject&) { GameEvents::Get().SetReferenceTestResult(false); },
            true, true}),
    [](const ::testing::TestParamInfo<FailedActivation>& c) { return c.param.name; });

TEST_F(SinkTest, CreditsClosingRestartsTheWarmUpAndRefreshesThePointers) {
    OpenWindowsAndStages();
    {
        std::lock_guard lock(StateMutex);
        state.gameUi = nullptr;
        state.activationFilterForm.store(nullptr);
    }
    ExpectContinue(events.DispatchMenu("EndGameCreditsMenu", /*opening=*/false));
    EXPECT_EQ(state.warmupCount, 0u);
    EXPECT_EQ(state.engageStage, -1);
    EXPECT_FALSE(state.toggle.on);
    EXPECT_EQ(state.gameUi, game.Ui());
    EXPECT_EQ(state.activationFilterForm.load(), filterForm);
    EXPECT_EQ(state.windowCount, 77) << "the windows are not the credits' business";
}

struct MenuCase {
    const char* name;
    const char* menu;
    bool opening;
    std::uint8_t flags;
};

class MenuIgnored : public SinkTest, public ::testing::WithParamInterface<MenuCase> {};

TEST_P(MenuIgnored, LeavesTheStateAlone) {
    const MenuCase& c = GetParam();
    OpenWindowsAndStages();
    ExpectContinue(events.DispatchMenu(c.menu, c.opening, c.flags));
    EXPECT_EQ(state.warmupCount, 30u);
    EXPECT_EQ(state.engageStage, 2);
    EXPECT_TRUE(state.toggle.on);
}

INSTANTIATE_TEST_SUITE_P(
    Sinks, MenuIgnored,
    ::testing::Values(MenuCase{"CreditsOpening", "EndGameCreditsMenu", true, 0},
                      MenuCase{"OtherLetterCase", "endgamecreditsmenu", false, 0},
                      MenuCase{"LongerName", "EndGameCreditsMenu2", false, 0},
                      MenuCase{"ProperPrefix", "EndGameCredits", false, 0},
                      MenuCase{"ShortPrefix", "EndGame", false, 0},
                      MenuCase{"OtherMenu", "PauseMenu", false, 0},
                      MenuCase{"NoNameEntry", nullptr, false, 0},
                      MenuCase{"EmptyName", "", false, 0},
                      MenuCase{"NameNotInline", "EndGameCreditsMenu", false, 0x02}),
    [](const ::testing::TestParamInfo<MenuCase>& c) { return c.param.name; });

TEST_F(SinkTest, LoadGameReloadsSettingsAndPointersButNotTheByte) {
    PluginFolder folder;
    folder.WriteFile("TaviroCustom.ini", "[Settings]\niHandbrakeHotkey=0x41\nbLogging=1\n");
    game.SetHandbrakeByte(0x00);
    {
        std::lock_guard lock(StateMutex);
        state.handbrakeEngaged.store(false);
        state.gameUi = nullptr;
        state.trackedSingleton = nullptr;
        state.patchSite.store(nullptr);
        state.toggle.on = true;
    }
    ExpectContinue(events.DispatchLoadGame());
    EXPECT_EQ(HotkeyInForce(), 0x41u);  // no modifier
    EXPECT_TRUE(state.loggingEnabled);
    EXPECT_TRUE(std::filesystem::exists(folder.Plugins() / "Taviro.ini"));
    EXPECT_EQ(state.gameUi, game.Ui());
    EXPECT_EQ(state.trackedSingleton, game.Tracked());
    EXPECT_EQ(state.patchSite.load(),
              testbed::GameImage::Get().At(testbed::layout::kHandbrakePatchSite));
    EXPECT_TRUE(state.handbrakeEngaged.load());
    EXPECT_EQ(game.HandbrakeByte(), 0x00);
    EXPECT_FALSE(state.toggle.on) << "a toggled hotkey must not hold the loaded game's handbrake";
}

}  // namespace
}  // namespace taviro::testing
