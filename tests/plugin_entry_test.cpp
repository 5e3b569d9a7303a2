// The load entry and the message listener, driven the way the host drives them: a load interface
// of our own records every call the plugin makes, and the game stand-in shows what was written
// into the game and registered with it.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "AbsoluteJump.h"
#include "BranchTrampoline.h"
#include "DataFiles.h"
#include "EventSinks.h"
#include "GameEvents.h"
#include "PluginEntry.h"
#include "PluginHost.h"
#include "TaviroVersion.h"
#include "Win32.h"
#include "game/GameQueries.h"
#include "hook/VehicleUpdateCall.h"
#include "hook/VehicleUpdateHook.h"
#include "input/GamepadReader.h"
#include "log/Log.h"
#include "settings/SettingsWatcher.h"
#include "support/CallSiteBytes.h"
#include "support/GameFixture.h"
#include "support/LogCheck.h"
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

void ExpectSlotJumpsTo(std::uintptr_t slot, const void* target) {
    const sfse_common::AbsoluteJump jump =
        sfse_common::AbsoluteJump::At(reinterpret_cast<const void*>(slot));
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
        sfse_common::branchTrampoline.Release();
        // As the library starts: nothing loaded, no game pointers.
        ResetControlState();
        events.Reset();
        filterForm = testbed::DataFiles::Get().InstallDefaultLoadOrder();
        host.Reset();
        host.SetOptions({});
        RecordVehicleUpdateTarget(0);
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
        sfse_common::branchTrampoline.Release();
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
        EXPECT_EQ(sfse_common::branchTrampoline.Base(), nullptr);
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

    ASSERT_NE(sfse_common::branchTrampoline.Base(), nullptr);
    EXPECT_EQ(sfse_common::branchTrampoline.Used(), sfse_common::BranchTrampoline::kSlotSize);
    EXPECT_EQ(ReadSite()[0], 0xE8);
    EXPECT_EQ(SiteTarget(), reinterpret_cast<std::uintptr_t>(sfse_common::branchTrampoline.Base()));
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
    EXPECT_EQ(HotkeyInForce(), 0u);

    folder.WriteFile("TaviroCustom.ini", "[Settings]\r\niHandbrakeHotkey=0x47\r\n");
    game.SetTrackedPresent(false);
    Deliver(kGameDataLoaded);

    EXPECT_EQ(HotkeyInForce(), 0x47u);
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
    ASSERT_NE(sfse_common::branchTrampoline.Base(), nullptr);
    ExpectSlotJumpsTo(SiteTarget(), reinterpret_cast<const void*>(&VehicleUpdateHook));
    EXPECT_NE(report.find("messaging"), std::string::npos) << report;
}

TEST_F(PluginEntryTest, SecondLoadReusesTheTrampolineAndTakesTheNextSlot) {
    ASSERT_TRUE(Load());
    std::uint8_t* const block = sfse_common::branchTrampoline.Base();
    ASSERT_NE(block, nullptr);

    ASSERT_TRUE(Load());  // the site now holds our own redirect, which counts as expected
    EXPECT_EQ(sfse_common::branchTrampoline.Base(), block);
    EXPECT_EQ(sfse_common::branchTrampoline.Used(), 2 * sfse_common::BranchTrampoline::kSlotSize);
    EXPECT_EQ(SiteTarget(),
              reinterpret_cast<std::uintptr_t>(block) + sfse_common::BranchTrampoline::kSlotSize);
    ExpectSlotJumpsTo(SiteTarget(), reinterpret_cast<const void*>(&VehicleUpdateHook));

    testbed::UpdateObject vehicle;
    EXPECT_EQ(game.Frame(&vehicle), testbed::Game::kVehicleUpdateResult);
}

// Another plugin's hook, as the convention has it: counted, then on to what the call led to
// before that plugin took it.
std::atomic<std::uintptr_t> otherPluginCallsOn{0};
std::atomic<int> otherPluginCalls{0};
std::uint64_t TESTBED_GAME_CALL OtherPluginsHook(void* updateObject) {
    ++otherPluginCalls;
    using Update = std::uint64_t(TESTBED_GAME_CALL*)(void*);
    return reinterpret_cast<Update>(otherPluginCallsOn.load())(updateObject);
}

// That plugin's trampoline near the game's image, and its redirect of the call.
class OtherPlugin {
public:
    OtherPlugin() {
        EXPECT_TRUE(m_trampoline.Create(reinterpret_cast<std::uintptr_t>(GameImage::Get().Base())));
    }
    ~OtherPlugin() { m_trampoline.Release(); }
    OtherPlugin(const OtherPlugin&) = delete;
    OtherPlugin& operator=(const OtherPlugin&) = delete;

    // Where its slot lies.
    std::uintptr_t Redirect() {
        otherPluginCalls = 0;
        otherPluginCallsOn = SiteTarget();
        return reinterpret_cast<std::uintptr_t>(m_trampoline.WriteRelCall(
            SiteAddress(), reinterpret_cast<std::uintptr_t>(&OtherPluginsHook)));
    }

private:
    sfse_common::BranchTrampoline m_trampoline;
};

TEST_F(PluginEntryTest, CallsThatCannotBeTakenAreRefusedAndLeftAlone) {
    OtherPlugin other;
    const auto block = reinterpret_cast<LPVOID>(other.Redirect());
    DWORD old = 0;
    struct Refusal {
        const char* what;
        std::function<SiteBytes()> make;
        const char* report;
        const char* reason;
    };
    const std::vector<Refusal> refusals = {
        {"no call at all",
         [] {
             return SiteBytes{0x90, 0x90, 0x90, 0x90, 0x90};
         },
         "is not the vehicle update call this plugin was built for: it is no call (90 90 90 90 90)",
         "the call site holds no call"},
        {"a call elsewhere in the game's code",
         [&] { return CallTo(GameFunctionAddress() + 0x40); },
         "it calls Starfield.exe+3045F70, not Starfield.exe+3045F30 (another game version)",
         "the call leads elsewhere in the game's code"},
        {"a call into memory that may not run code",
         [&] {
             VirtualProtect(block, 1, PAGE_READWRITE, &old);
             return CallTo(reinterpret_cast<std::uintptr_t>(block));
         },
         ", whose protection (0x4) lets no code run: calling it would crash the game",
         "the call leads into memory that may not run code"},
        {"a call into memory that holds nothing",
         [&] {
             VirtualFree(block, 0x1000, MEM_DECOMMIT);
             return CallTo(reinterpret_cast<std::uintptr_t>(block));
         },
         ", which is reserved memory that holds nothing: calling it would crash the game",
         "the call leads into memory that holds nothing"},
    };
    for (const Refusal& refusal : refusals) {
        SCOPED_TRACE(refusal.what);
        const SiteBytes bytes = refusal.make();
        WriteSite(bytes);
        host.Reset();
        bool loaded = true;
        const std::string report = LoadQuietly(loaded);

        EXPECT_FALSE(loaded);
        ExpectNothingWritten(bytes);
        EXPECT_EQ(host.Calls(), std::vector<std::string>{"GetPluginHandle"});
        EXPECT_NE(report.find(refusal.report), std::string::npos) << report;
        EXPECT_NE(report.find("nothing was changed"), std::string::npos) << report;
        // The refusal is on disk by the time the load returns: it may be the launch's last word.
        const std::string written = FileText(log::Path());
        EXPECT_NE(written.find(refusal.report), std::string::npos) << written;
        EXPECT_NE(written.find(std::string("error the load is refused (") + refusal.reason + ")"),
                  std::string::npos)
            << written;
        log::Close();
    }
}

TEST_F(PluginEntryTest, ARedirectMadeBeforeUsIsChainedOntoAndNamed) {
    OtherPlugin other;
    const std::uintptr_t slot = other.Redirect();
    ASSERT_TRUE(Load());

    ExpectSlotJumpsTo(SiteTarget(), reinterpret_cast<const void*>(&VehicleUpdateHook));
    // Before the game's data has loaded our hook lets the game run: on through the other hook.
    testbed::UpdateObject vehicle;
    EXPECT_EQ(game.Frame(&vehicle), testbed::Game::kVehicleUpdateResult);
    EXPECT_EQ(otherPluginCalls, 1);
    EXPECT_EQ(game.Count().vehicleUpdates, 1u);
    EXPECT_EQ(game.LastUpdateObject(), &vehicle);

    // One line names the other plugin's code (this program's; under Wine that is the game's
    // image), reached through the jump in its slot.
    const std::string written = FileText(log::Path());
    const std::size_t line = written.find("info  chained onto ");
    ASSERT_NE(line, std::string::npos) << written;
    const std::size_t jump = written.find(" (through a jump at 0x" + HexText(slot) + "): ", line);
    EXPECT_LT(jump, written.find('\n', line)) << written;
    // Our own slot is written as theirs is: the log has one way of writing an address.
    EXPECT_NE(written.find(" through the slot at 0x" + HexText(SiteTarget()) + " to the hook\n"),
              std::string::npos)
        << written;
}

TEST_F(PluginEntryTest, ARedirectMadeAfterUsIsNamedOnceAndNeverTakenBack) {
    ASSERT_TRUE(Load());
    Deliver(kGameDataLoaded);
    OtherPlugin other;
    const std::uintptr_t slot = other.Redirect();  // on to our slot
    const SiteBytes taken = ReadSite();

    events.DispatchLoadGame();
    events.DispatchLoadGame();
    ASSERT_TRUE(Load());  // a later load of ours leaves it as it is too
    log::Flush();
    const std::string written = FileText(log::Path());
    EXPECT_EQ(Occurrences(written,
                          "info  another plugin redirected the vehicle update call "
                          "after Taviro; Taviro decides only if that plugin calls on\n"),
              1u)
        << written;
    EXPECT_EQ(Occurrences(written, "(through a jump at 0x" + HexText(slot) + ")\n"), 1u) << written;

    // Each hook runs once, and the game's function once, at the end of the chain.
    EXPECT_EQ(ReadSite(), taken);
    const std::uint64_t hookCalls = HookCallCount();
    testbed::UpdateObject vehicle;
    EXPECT_EQ(game.Frame(&vehicle), testbed::Game::kVehicleUpdateResult);
    EXPECT_EQ(otherPluginCalls, 1);
    EXPECT_EQ(HookCallCount(), hookCalls + 1);
    EXPECT_EQ(game.Count().vehicleUpdates, 1u);

    // That plugin puts the game's call back and a later load of ours takes it afresh: the line
    // of the redirect says it leads to the hook, and the next game load has nothing new to say.
    WriteSite(GamesOwnCall());
    ASSERT_TRUE(Load());
    ExpectSlotJumpsTo(SiteTarget(), reinterpret_cast<const void*>(&VehicleUpdateHook));
    events.DispatchLoadGame();
    log::Flush();
    const std::string retaken = FileText(log::Path());
    EXPECT_EQ(Occurrences(retaken, "leads to Taviro's hook again"), 0u) << retaken;
}

TEST_F(PluginEntryTest, NoRoomForTheTrampolineFailsTheLoadWithoutWriting) {
    const auto image = reinterpret_cast<std::uintptr_t>(GameImage::Get().Base());
    const std::uintptr_t lowest =
        image > sfse_common::BranchTrampoline::kMaxDistanceBelowImage
            ? image - sfse_common::BranchTrampoline::kMaxDistanceBelowImage
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
    EXPECT_EQ(sfse_common::branchTrampoline.Used(), 0u) << "the refused load took a slot";
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
