// The plugin a player installs (Taviro.dll, or Taviro.so natively), loaded by the host stand-in
// into the game stand-in and driven only through the game's own seams: the redirected call site,
// the event sources' raw-slot dispatch, the settings files and the keyboard.
//
// A plugin loads once per process, as in the game, so this program loads it once, before the
// first scenario. Every scenario then starts by settling the plugin's decision through the game
// itself (windows closed by an exit at rest, warm-up restarted by a load screen), so the
// scenarios pass in any order, alone or together.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "AbsoluteJump.h"
#include "DataFiles.h"
#include "GameEvents.h"
#include "GameImage.h"
#include "GameLayout.h"
#include "GameRuntime.h"
#include "PluginHost.h"
#include "support/PluginFolder.h"

namespace {

namespace fs = std::filesystem;
namespace layout = testbed::layout;
using taviro::testing::SettingsIn;
using testbed::EventKind;
using testbed::Game;
using testbed::GameEvents;
using testbed::GameImage;
using testbed::PluginHost;

constexpr std::uint64_t kGameResult = Game::kVehicleUpdateResult;
constexpr std::uint8_t kEngaged = 0x03;
constexpr std::uint8_t kReleased = 0x00;
constexpr int kWarmupFrames = 30;
constexpr int kHotkey = 0x47;  // G

using Settings = std::vector<std::pair<std::string, std::string>>;

// What the game and the host saw while the plugin was loaded and the game's data came in.
struct StartUp {
    bool libraryLoaded = false;
    std::string error;
    bool loadEntryResult = false;
    std::vector<std::string> hostCalls;
    bool settingsFileBeforeData = false;
};

class EndToEnd : public ::testing::Test {
public:
    static void SetUpTestSuite() {
        if (folder != nullptr) {
            return;  // loaded already, by an earlier repetition
        }
        // The game's folder, then the game, then the host loading the plugin into it: the
        // plugin finds its addresses while the library starts.
        folder = std::make_unique<taviro::testing::PluginFolder>();
        Game::Get();
        GameEvents::Get();
        testbed::DataFiles::Get().InstallDefaultLoadOrder();

        PluginHost& host = PluginHost::Get();
        start.libraryLoaded = host.Load(PluginHost::DefaultPluginPath());
        if (!start.libraryLoaded) {
            start.error = host.Error();
            return;
        }
        start.loadEntryResult = host.CallLoadEntry();
        start.hostCalls = host.Calls();
        start.settingsFileBeforeData = fs::exists(folder->Plugins() / "Taviro.ini");
        host.DeliverMessage(2);
    }

protected:
    void SetUp() override {
        ASSERT_TRUE(start.libraryLoaded) << start.error;
        ASSERT_TRUE(start.loadEntryResult);
        vehicle.SetFloat(1.0f);
    }

    void TearDown() override {
        Game::SetKeyDown(kHotkey, false);
        const auto count = game.Count();
        EXPECT_EQ(count.stringsBuilt, count.stringsReleased) << "game strings leaked";
        EXPECT_EQ(count.contractViolations, 0u) << "a game function got invalid arguments";
    }

    struct FrameResult {
        std::uint64_t returned;
        std::uint8_t byte;
        bool gameRan;
    };

    FrameResult Frame() {
        const auto before = game.Count().vehicleUpdates;
        const std::uint64_t returned = game.Frame(&vehicle);
        return {returned, game.HandbrakeByte(), game.Count().vehicleUpdates != before};
    }

    void ExpectFrames(int count, const char* what, std::uint64_t returned, std::uint8_t byte) {
        for (int i = 0; i < count; ++i) {
            SCOPED_TRACE(std::string(what) + ", frame " + std::to_string(i + 1));
            const FrameResult r = Frame();
            EXPECT_EQ(r.returned, returned);
            EXPECT_EQ(r.byte, byte);
            EXPECT_EQ(r.gameRan, returned == kGameResult);
            if (r.gameRan) {
                EXPECT_EQ(game.ByteSeenByLastUpdate(), byte) << "the game ran on another byte";
            }
        }
    }

    void LoadScreenFrame() {
        game.SetMenuOpen("LoadingMenu", true);
        Frame();
        game.SetMenuOpen("LoadingMenu", false);
    }

    // Leaves the decision as a fresh game load does: no window open, stages reset, warm-up just
    // restarted, the vehicle rolling with the tracked object at rest.
    void Settle() {
        events.DispatchExitVehicle();  // closes an activation window
        game.SetFloat1(0.0f);
        game.SetFloat2(0.0f);  // at rest: the next counted frame closes the exit window
        LoadScreenFrame();
        for (int i = 0; i < kWarmupFrames + 1; ++i) {
            Frame();
        }
        LoadScreenFrame();
        game.SetFloat2(1.0f);
    }

    void ExpectCountingWindowEngages() {
        ExpectFrames(4, "counting up", 0, kReleased);
        ExpectFrames(3, "engaged", kGameResult, kEngaged);
    }

    static std::unique_ptr<taviro::testing::PluginFolder> folder;
    static StartUp start;

    Game& game = Game::Get();
    GameEvents& events = GameEvents::Get();
    PluginHost& host = PluginHost::Get();
    testbed::UpdateObject vehicle;
};

std::unique_ptr<taviro::testing::PluginFolder> EndToEnd::folder;
StartUp EndToEnd::start;

TEST_F(EndToEnd, LoadRedirectsTheGamesCallThroughASlotBelowTheImageIntoThePlugin) {
    ASSERT_GE(start.hostCalls.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(start.hostCalls.begin(), start.hostCalls.begin() + 3),
              (std::vector<std::string>{"GetPluginHandle", "QueryInterface(1)",
                                        "RegisterListener(7, SFSE)"}));

    const auto image = reinterpret_cast<std::uintptr_t>(GameImage::Get().Base());
    const auto site =
        reinterpret_cast<std::uintptr_t>(GameImage::Get().At(layout::kVehicleUpdateCallSite));
    const auto call =
        GameImage::Get().Read<std::array<std::uint8_t, 5>>(layout::kVehicleUpdateCallSite);
    ASSERT_EQ(call[0], 0xE8);
    std::int32_t displacement = 0;
    std::memcpy(&displacement, call.data() + 1, sizeof displacement);
    const std::uintptr_t slot =
        site + 5 + static_cast<std::uintptr_t>(static_cast<std::intptr_t>(displacement));
    ASSERT_LT(slot, image);
    EXPECT_LE(image - slot, 0x78000000u);

    const AbsoluteJump jump = AbsoluteJump::At(reinterpret_cast<const void*>(slot));
    EXPECT_TRUE(jump.IsAbsoluteJump());
    EXPECT_TRUE(host.IsInPlugin(reinterpret_cast<const void*>(jump.Target())))
        << "the slot jumps outside the plugin";
}

TEST_F(EndToEnd, DataLoadedCreatesTheDefaultSettingsAndRegistersTheFourSinks) {
    EXPECT_FALSE(start.settingsFileBeforeData);
    EXPECT_EQ(SettingsIn(folder->Plugins() / "Taviro.ini"),
              (Settings{{"Settings/bLogging", "0"}, {"Settings/iHandbrakeHotkey", "0x0"}}));

    const auto registrations = events.Registrations();
    const std::array<EventKind, 4> order{EventKind::Menu, EventKind::LoadGame,
                                         EventKind::ExitVehicle, EventKind::Activate};
    ASSERT_EQ(registrations.size(), order.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        SCOPED_TRACE(testbed::EventKindName(order[i]));
        EXPECT_EQ(registrations[i].kind, order[i]);
        EXPECT_EQ(registrations[i].source, events.Source(order[i]));
        EXPECT_TRUE(host.IsInPlugin(registrations[i].sink));
        // The game calls slot 1; it must be the plugin's handler.
        void* const* table = *static_cast<void* const* const*>(registrations[i].sink);
        EXPECT_TRUE(host.IsInPlugin(table[1]));
    }
    EXPECT_EQ(events.InvalidRegistrations(), 0u);
}

TEST_F(EndToEnd, ExitingAMovingVehicleEngagesTheHandbrakeOnTheFifthFrame) {
    Settle();
    ExpectFrames(kWarmupFrames, "warm-up", kGameResult, kReleased);
    ExpectFrames(2, "driving", 0, kReleased);

    EXPECT_EQ(events.DispatchExitVehicle(), std::vector<std::uint32_t>{0});
    ExpectCountingWindowEngages();
}

TEST_F(EndToEnd, ActivationThroughTheRawSlotOpensTheWindowToo) {
    Settle();
    ExpectFrames(kWarmupFrames, "warm-up", kGameResult, kReleased);

    // The player (value 0x14) activates a reference whose base object has type code 0x2F and
    // which the game's reference test matches with the filter form.
    testbed::BaseObject baseObject = events.MakeBaseObject(0x2F);
    testbed::Reference activated;
    testbed::Reference acting;
    activated.SetBaseObject(&baseObject);
    acting.SetValue(0x14);
    EXPECT_EQ(events.DispatchActivate({&activated, &acting}), std::vector<std::uint32_t>{0});
    ExpectCountingWindowEngages();
}

TEST_F(EndToEnd, HotkeyFromTheCustomFileEngagesOnlyWhileHeld) {
    Settle();
    folder->WriteFile("TaviroCustom.ini", "[Settings]\r\niHandbrakeHotkey=0x47\r\n");
    events.DispatchLoadGame();
    ExpectFrames(kWarmupFrames, "warm-up", kGameResult, kReleased);
    ExpectFrames(2, "driving", 0, kReleased);

    Game::SetKeyDown(kHotkey, true);
    ExpectFrames(3, "G held", kGameResult, kEngaged);
    Game::SetKeyDown(kHotkey, false);
    ExpectFrames(2, "G released", 0, kReleased);

    fs::remove(folder->Plugins() / "TaviroCustom.ini");
    events.DispatchLoadGame();
    Game::SetKeyDown(kHotkey, true);
    ExpectFrames(2, "G held without a hotkey set", 0, kReleased);
}

}  // namespace
