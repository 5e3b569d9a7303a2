// The load entry and the message listener, driven the way the host drives them: a load interface
// of our own records every call the plugin makes, and the game stand-in shows what was written
// into the game and registered with it.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "AbsoluteJump.h"
#include "BranchTrampoline.h"
#include "DataFiles.h"
#include "EventSinks.h"
#include "GameEvents.h"
#include "GamepadReader.h"
#include "Log.h"
#include "PluginEntry.h"
#include "PluginHost.h"
#include "SettingsWatcher.h"
#include "TaviroVersion.h"
#include "VehicleUpdateHook.h"
#include "Win32.h"
#include "support/GameFixture.h"
#include "support/PluginFolder.h"

#ifndef _WIN32
#include "winshim/control.h"
#endif

namespace taviro::testing {
namespace {

using testbed::EventKind;
using testbed::GameEvents;
using testbed::GameImage;
namespace layout = testbed::layout;

// The box's title: the display name and "v" with the major and minor version.
const std::string kBoxTitle = TAVIRO_DISPLAY_NAME " v" + std::to_string(TAVIRO_VERSION_MAJOR) +
                              "." + std::to_string(TAVIRO_VERSION_MINOR);
const std::string kRegisterListener =
    "RegisterListener(" + std::to_string(testbed::PluginHost::kPluginHandle) + ", SFSE)";

// ---------------------------------------------------------------------------------------------
// The game's code at the redirected site.

using SiteBytes = std::array<std::uint8_t, 5>;

SiteBytes ReadSite() {
    return GameImage::Get().Read<SiteBytes>(layout::kVehicleUpdateCallSite);
}

std::uintptr_t SiteAddress() {
    return reinterpret_cast<std::uintptr_t>(GameImage::Get().At(layout::kVehicleUpdateCallSite));
}

// Where a 5-byte E8/E9 at the site leads.
std::uintptr_t SiteTarget() {
    std::int32_t displacement = 0;
    const SiteBytes bytes = ReadSite();
    std::memcpy(&displacement, bytes.data() + 1, sizeof displacement);
    return SiteAddress() + 5 +
           static_cast<std::uintptr_t>(static_cast<std::intptr_t>(displacement));
}

SiteBytes CallTo(std::uintptr_t target, std::uint8_t opcode = 0xE8) {
    const auto displacement = static_cast<std::int32_t>(
        static_cast<std::intptr_t>(target) - static_cast<std::intptr_t>(SiteAddress() + 5));
    SiteBytes bytes{opcode};
    std::memcpy(bytes.data() + 1, &displacement, sizeof displacement);
    return bytes;
}

SiteBytes GamesOwnCall() {
    return CallTo(reinterpret_cast<std::uintptr_t>(GameImage::Get().At(layout::kVehicleUpdate)));
}

void ExpectSlotJumpsTo(std::uintptr_t slot, const void* target) {
    const AbsoluteJump jump = AbsoluteJump::At(reinterpret_cast<const void*>(slot));
    EXPECT_TRUE(jump.IsAbsoluteJump()) << "not FF 25 00000000";
    EXPECT_EQ(jump.Target(), reinterpret_cast<std::uint64_t>(target));
}

// Every free address range from below `low` up to `high` reserved, so that nothing new can be
// placed there, and given back on destruction. Walks upwards: the system describes a free or
// reserved area from the queried page to its top, so a downward walk would crawl page by page.
class AddressSpaceFill {
public:
    AddressSpaceFill(std::uintptr_t low, std::uintptr_t high) {
        constexpr std::uintptr_t kGranularity = 0x10000;
        // Small pieces keep each later query of the stand-in short; the system does not mind.
        constexpr std::uintptr_t kPiece = 0x40000;
        std::uintptr_t at = low;
        while (at < high) {
            MEMORY_BASIC_INFORMATION info{};
            if (VirtualQuery(reinterpret_cast<LPCVOID>(at), &info, sizeof info) == 0) {
                break;
            }
            const auto base = reinterpret_cast<std::uintptr_t>(info.BaseAddress);
            const std::uintptr_t end = std::min(base + info.RegionSize, high);
            if (info.State == MEM_FREE) {
                // Reservations start on the allocation granularity; the odd pages below the
                // first boundary cannot hold anything new either.
                std::uintptr_t from = (std::max(base, at) + kGranularity - 1) & ~(kGranularity - 1);
                while (from < end) {
                    const std::uintptr_t size = std::min(kPiece, end - from);
                    if (void* p = VirtualAlloc(reinterpret_cast<LPVOID>(from), size, MEM_RESERVE,
                                               PAGE_NOACCESS)) {
                        m_reservations.push_back(p);
                    }
                    from += size;
                }
            }
            at = end;
        }
    }
    ~AddressSpaceFill() {
        for (void* p : m_reservations) {
            VirtualFree(p, 0, MEM_RELEASE);
        }
    }
    AddressSpaceFill(const AddressSpaceFill&) = delete;
    AddressSpaceFill& operator=(const AddressSpaceFill&) = delete;

    std::size_t Count() const { return m_reservations.size(); }

private:
    std::vector<void*> m_reservations;
};

// ---------------------------------------------------------------------------------------------

class PluginEntryTest : public GameFixture {
protected:
    void SetUp() override {
        GameFixture::SetUp();
        branchTrampoline.Release();
        // As the library starts: nothing loaded, no game pointers.
        ResetControlState();
        events.Reset();
        filterForm = testbed::DataFiles::Get().InstallDefaultLoadOrder();
        host.Reset();
        host.SetOptions({});
#ifndef _WIN32
        // The log goes into this test's own Documents (under Wine, the prefix's private one).
        std::filesystem::create_directories(folder.Root() / "Documents");
        winshim::SetDocumentsFolder((folder.Root() / "Documents").string());
#endif
    }

    void TearDown() override {
        // The data-loaded message started the plugin's own threads: none may look into the next
        // test's folder.
        StopWatchingSettings();
        gamepad::ResetReader();
        log::Close();
#ifndef _WIN32
        winshim::SetMainModuleForTesting(GameImage::Get().Base());
        winshim::ClearMessageBoxes();
#endif
        // The game's own call goes back before the slot it may point at is freed.
        game.Reset();
        branchTrampoline.Release();
        GameFixture::TearDown();
    }

    bool Load() {
        return SFSEPlugin_Load(static_cast<const host::LoadInterface*>(host.LoadInterfaceRecord()));
    }

    // Loads with stdout captured; returns what the plugin printed.
    std::string LoadQuietly(bool& result) {
        ::testing::internal::CaptureStdout();
        result = Load();
        return ::testing::internal::GetCapturedStdout();
    }

    void Deliver(std::uint32_t type) {
        ASSERT_FALSE(host.Listeners().empty());
        host.DeliverMessage(type);
    }

    void ExpectRegistered(const std::vector<EventKind>& kinds) {
        const auto registrations = events.Registrations();
        ASSERT_EQ(registrations.size(), kinds.size());
        for (std::size_t i = 0; i < kinds.size(); ++i) {
            SCOPED_TRACE("registration " + std::to_string(i));
            EXPECT_EQ(registrations[i].kind, kinds[i]);
            EXPECT_EQ(registrations[i].source, events.Source(kinds[i]));
            EXPECT_EQ(registrations[i].sink, SinkFor(kinds[i]));
        }
        EXPECT_EQ(events.InvalidRegistrations(), 0u);
    }

    static void* SinkFor(EventKind kind) {
        switch (kind) {
            case EventKind::Menu:
                return &menuOpenCloseSink;
            case EventKind::LoadGame:
                return &loadGameSink;
            case EventKind::ExitVehicle:
                return &exitVehicleSink;
            case EventKind::Activate:
                return &activateSink;
        }
        return nullptr;
    }

    void ExpectNothingWritten(const SiteBytes& before) {
        EXPECT_EQ(ReadSite(), before);
        EXPECT_EQ(branchTrampoline.Base(), nullptr);
        EXPECT_TRUE(host.Listeners().empty());
    }

    static constexpr std::uint32_t kGameDataLoaded = 2;
    static inline const std::vector<EventKind> kAllFour = {
        EventKind::Menu, EventKind::LoadGame, EventKind::ExitVehicle, EventKind::Activate};

    PluginFolder folder;
    testbed::PluginHost& host = testbed::PluginHost::Get();
    GameEvents& events = GameEvents::Get();
    void* filterForm = nullptr;
};

TEST_F(PluginEntryTest, LoadTakesTheHandleRedirectsTheCallAndRegistersTheListener) {
    ASSERT_TRUE(Load());

    EXPECT_EQ(host.Calls(), (std::vector<std::string>{"GetPluginHandle", "QueryInterface(1)",
                                                      kRegisterListener}));
    EXPECT_EQ(host.Listeners(),
              std::vector<const void*>{reinterpret_cast<const void*>(&OnHostMessage)});

    ASSERT_NE(branchTrampoline.Base(), nullptr);
    EXPECT_EQ(branchTrampoline.Used(), BranchTrampoline::kSlotSize);
    EXPECT_EQ(ReadSite()[0], 0xE8);
    EXPECT_EQ(SiteTarget(), reinterpret_cast<std::uintptr_t>(branchTrampoline.Base()));
    ExpectSlotJumpsTo(SiteTarget(), reinterpret_cast<const void*>(&VehicleUpdateHook));

    // Before the game's data has loaded, a frame through the site reaches the hook, which lets
    // the game's function run.
    testbed::UpdateObject vehicle;
    EXPECT_EQ(game.Frame(&vehicle), testbed::Game::kVehicleUpdateResult);
    EXPECT_EQ(game.Count().vehicleUpdates, 1u);
    EXPECT_EQ(game.LastUpdateObject(), &vehicle);
}

TEST_F(PluginEntryTest, MessagesOtherThanDataLoadedChangeNothing) {
    ASSERT_TRUE(Load());
    for (std::uint32_t type : {0u, 1u, 3u}) {
        SCOPED_TRACE("message type " + std::to_string(type));
        Deliver(type);
        EXPECT_FALSE(std::filesystem::exists(folder.Plugins() / "Taviro.ini"));
        EXPECT_TRUE(events.Registrations().empty());
        EXPECT_EQ(controlState.gameUi, nullptr);
        EXPECT_EQ(controlState.patchSite.load(), nullptr);
        EXPECT_EQ(testbed::DataFiles::Get().LookupCalls(), 0u);
    }
}

TEST_F(PluginEntryTest, DataLoadedReadsSettingsRefreshesPointersAndRegistersFourSinks) {
    ASSERT_TRUE(Load());
    Deliver(kGameDataLoaded);

    EXPECT_EQ(SettingsIn(folder.Plugins() / "Taviro.ini"),
              (std::vector<std::pair<std::string, std::string>>{
                  {"Settings/bLogging", "0"}, {"Settings/iHandbrakeHotkey", "0x0"}}));
    EXPECT_EQ(controlState.gameUi, game.Ui());
    EXPECT_EQ(controlState.trackedSingleton, game.Tracked());
    EXPECT_EQ(controlState.patchSite.load(), GameImage::Get().At(layout::kHandbrakePatchSite));
    EXPECT_EQ(controlState.activationFilterForm.load(), filterForm);
    ExpectRegistered(kAllFour);
}

TEST_F(PluginEntryTest, SecondDataLoadedReadsAgainAndRegistersAgain) {
    ASSERT_TRUE(Load());
    Deliver(kGameDataLoaded);
    EXPECT_EQ(controlState.hotkey.load(), 0u);

    folder.WriteFile("TaviroCustom.ini", "[Settings]\r\niHandbrakeHotkey=0x47\r\n");
    game.SetTrackedPresent(false);
    Deliver(kGameDataLoaded);

    EXPECT_EQ(controlState.hotkey.load(), 0x47u);
    EXPECT_EQ(controlState.trackedSingleton, nullptr);
    std::vector<EventKind> twice = kAllFour;
    twice.insert(twice.end(), kAllFour.begin(), kAllFour.end());
    ExpectRegistered(twice);
}

TEST_F(PluginEntryTest, WithoutTheGamesUiTheMenuSinkIsLeftOut) {
    ASSERT_TRUE(Load());
    game.SetUiPresent(false);
    ::testing::internal::CaptureStdout();
    Deliver(kGameDataLoaded);
    const std::string report = ::testing::internal::GetCapturedStdout();

    ExpectRegistered({EventKind::LoadGame, EventKind::ExitVehicle, EventKind::Activate});
    EXPECT_NE(report.find("menu events"), std::string::npos) << report;
}

TEST_F(PluginEntryTest, WithoutMessagingTheRedirectStandsAndNoListenerIsRegistered) {
    host.SetOptions({.provideMessaging = false});
    bool loaded = false;
    const std::string report = LoadQuietly(loaded);

    EXPECT_TRUE(loaded);
    EXPECT_EQ(host.Calls(), (std::vector<std::string>{"GetPluginHandle", "QueryInterface(1)"}));
    EXPECT_TRUE(host.Listeners().empty());
    EXPECT_EQ(ReadSite()[0], 0xE8);
    ASSERT_NE(branchTrampoline.Base(), nullptr);
    ExpectSlotJumpsTo(SiteTarget(), reinterpret_cast<const void*>(&VehicleUpdateHook));
    EXPECT_NE(report.find("messaging"), std::string::npos) << report;
}

TEST_F(PluginEntryTest, SecondLoadReusesTheTrampolineAndTakesTheNextSlot) {
    ASSERT_TRUE(Load());
    std::uint8_t* const block = branchTrampoline.Base();
    ASSERT_NE(block, nullptr);

    ASSERT_TRUE(Load());  // the site now holds our own redirect, which counts as expected
    EXPECT_EQ(branchTrampoline.Base(), block);
    EXPECT_EQ(branchTrampoline.Used(), 2 * BranchTrampoline::kSlotSize);
    EXPECT_EQ(SiteTarget(), reinterpret_cast<std::uintptr_t>(block) + BranchTrampoline::kSlotSize);
    ExpectSlotJumpsTo(SiteTarget(), reinterpret_cast<const void*>(&VehicleUpdateHook));

    testbed::UpdateObject vehicle;
    EXPECT_EQ(game.Frame(&vehicle), testbed::Game::kVehicleUpdateResult);
}

std::uint64_t TESTBED_GAME_CALL SomeoneElsesHook(void*) {
    return 0;
}

TEST_F(PluginEntryTest, ForeignCodeAtTheCallSiteIsLeftAlone) {
    const auto gameFunction =
        reinterpret_cast<std::uintptr_t>(GameImage::Get().At(layout::kVehicleUpdate));
    const std::vector<std::pair<const char*, SiteBytes>> foreign = {
        {"a call elsewhere", CallTo(gameFunction + 0x40)},
        {"a jump to the game's function", CallTo(gameFunction, 0xE9)},
        {"no call at all", SiteBytes{0x90, 0x90, 0x90, 0x90, 0x90}},
    };
    for (const auto& [what, bytes] : foreign) {
        SCOPED_TRACE(what);
        GameImage::Get().Write(layout::kVehicleUpdateCallSite, bytes.data(), bytes.size());
        host.Reset();
        bool loaded = true;
        const std::string report = LoadQuietly(loaded);

        EXPECT_FALSE(loaded);
        ExpectNothingWritten(bytes);
        EXPECT_EQ(host.Calls(), std::vector<std::string>{"GetPluginHandle"});
        EXPECT_NE(report.find("nothing was changed"), std::string::npos) << report;
        // The refusal is on disk by the time the load returns: it may be the launch's last word.
        const std::string written = FileText(log::Path());
        EXPECT_NE(written.find("is not the vehicle update call"), std::string::npos) << written;
        EXPECT_NE(written.find("error the load is refused"), std::string::npos) << written;
        log::Close();
    }
}

TEST_F(PluginEntryTest, AnotherRedirectThroughOurTrampolineIsForeignToo) {
    // A slot of our block that jumps somewhere other than the hook is not our redirect.
    ASSERT_TRUE(branchTrampoline.Create(reinterpret_cast<std::uintptr_t>(GameImage::Get().Base())));
    ASSERT_NE(branchTrampoline.WriteRelCall(SiteAddress(),
                                            reinterpret_cast<std::uintptr_t>(&SomeoneElsesHook)),
              nullptr);
    const SiteBytes before = ReadSite();
    bool loaded = true;
    LoadQuietly(loaded);

    EXPECT_FALSE(loaded);
    EXPECT_EQ(ReadSite(), before);
    EXPECT_EQ(branchTrampoline.Used(), BranchTrampoline::kSlotSize);
    EXPECT_TRUE(host.Listeners().empty());
}

TEST_F(PluginEntryTest, NoRoomForTheTrampolineFailsTheLoadWithoutWriting) {
    const auto image = reinterpret_cast<std::uintptr_t>(GameImage::Get().Base());
    const std::uintptr_t lowest = image > BranchTrampoline::kMaxDistanceBelowImage
                                      ? image - BranchTrampoline::kMaxDistanceBelowImage
                                      : 0x10000;
    // A margin below the bound: a block just under it would still be taken by the search pass
    // that crosses it.
    AddressSpaceFill fill(lowest > 0x110000 ? lowest - 0x100000 : 0x10000, image);
    ASSERT_GT(fill.Count(), 0u);
    const SiteBytes before = ReadSite();
    ASSERT_EQ(before, GamesOwnCall());

    bool loaded = true;
    const std::string report = LoadQuietly(loaded);

    EXPECT_FALSE(loaded);
    ExpectNothingWritten(before);
    EXPECT_EQ(host.Calls(), std::vector<std::string>{"GetPluginHandle"});
    EXPECT_NE(report.find("couldn't allocate trampoline, no free space before image\n"),
              std::string::npos)
        << report;
}

TEST_F(PluginEntryTest, CallSiteThatCannotBeMadeWritableFailsTheLoad) {
#ifdef _WIN32
    GTEST_SKIP() << "needs the stand-in to refuse the protection change";
#else
    const SiteBytes before = ReadSite();
    winshim::RefuseVirtualProtect(1);
    bool loaded = true;
    const std::string report = LoadQuietly(loaded);

    EXPECT_FALSE(loaded) << "a load without the redirect must not report success";
    EXPECT_EQ(ReadSite(), before);
    EXPECT_TRUE(host.Listeners().empty());
    EXPECT_NE(report.find("VirtualProtect failed"), std::string::npos) << report;
    EXPECT_EQ(branchTrampoline.Used(), 0u) << "the refused load took a slot";
#endif
}

TEST_F(PluginEntryTest, VersionTextIsMajorDotMinor) {
    EXPECT_EQ(FormatPluginVersion(),
              std::to_string(TAVIRO_VERSION_MAJOR) + "." + std::to_string(TAVIRO_VERSION_MINOR));
    host::PluginVersionData record{};
    record.pluginVersion = host::MakeVersion(2, 10, 0xABC, 0xD);
    EXPECT_EQ(FormatPluginVersion(record), "2.10");
}

TEST_F(PluginEntryTest, ErrorBoxIsTitledWithTheNameAndVersion) {
#ifdef _WIN32
    GTEST_SKIP() << "a real message box would wait for a click";
#else
    winshim::ClearMessageBoxes();
    ShowErrorMessage("text");
    const auto boxes = winshim::MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "text");
    EXPECT_EQ(boxes[0].caption, kBoxTitle);
    EXPECT_EQ(boxes[0].type, 0u);
#endif
}

TEST_F(PluginEntryTest, MissingGameModuleShowsTheBoxAndWritesNothing) {
#ifdef _WIN32
    GTEST_SKIP() << "the process's own module cannot be hidden from GetModuleHandleA";
#else
    const SiteBytes before = ReadSite();
    ASSERT_EQ(before, GamesOwnCall());
    winshim::ClearMessageBoxes();
    winshim::SetMainModuleForTesting(nullptr);
    const bool loaded = Load();
    winshim::SetMainModuleForTesting(GameImage::Get().Base());

    EXPECT_FALSE(loaded);
    const auto boxes = winshim::MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Installation error: Starfield.exe handle couldn't be acquired");
    EXPECT_EQ(boxes[0].caption, kBoxTitle);
    EXPECT_EQ(boxes[0].type, 0u);
    EXPECT_EQ(host.Calls(), std::vector<std::string>{"GetPluginHandle"});
    ExpectNothingWritten(before);
#endif
}

}  // namespace
}  // namespace taviro::testing
