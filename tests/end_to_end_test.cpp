// The plugin a player installs (Taviro.dll, or Taviro.so natively), loaded by the host stand-in
// into the game stand-in and seen only through the game's own seams: the redirected call site,
// the sinks registered with the event sources, and the settings files.
//
// A plugin loads once per process, as in the game, so this program loads it once, before the
// first case. What the plugin then decides frame by frame is the shipped scenarios' to check
// (testbed/scenarios, played by CTest); the cases here check what no scenario sees: where the
// redirect goes, and what the game was handed to call.
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
    }

    void TearDown() override {
        const auto count = game.Count();
        EXPECT_EQ(count.stringsBuilt, count.stringsReleased) << "game strings leaked";
        EXPECT_EQ(count.contractViolations, 0u) << "a game function got invalid arguments";
    }

    static std::unique_ptr<taviro::testing::PluginFolder> folder;
    static StartUp start;

    Game& game = Game::Get();
    GameEvents& events = GameEvents::Get();
    PluginHost& host = PluginHost::Get();
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

    const sfse_common::AbsoluteJump jump =
        sfse_common::AbsoluteJump::At(reinterpret_cast<const void*>(slot));
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

}  // namespace
