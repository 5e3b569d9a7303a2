// The settings while the game runs: a save of either file is put in force by the plugin's own
// watching thread, with no game load, and a reload never gets in the hook's way.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "DataFiles.h"
#include "hook/VehicleUpdateHook.h"
#include "log/Log.h"
#include "settings/Settings.h"
#include "settings/SettingsWatcher.h"
#include "support/GameFixture.h"
#include "support/HeldFile.h"
#include "support/LogCheck.h"
#include "support/PluginFolder.h"

namespace taviro::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kGameResult = testbed::Game::kVehicleUpdateResult;

class WatchedSettings : public GameFixture {
protected:
    void SetUp() override {
        GameFixture::SetUp();
        ASSERT_TRUE(log::Open({folder.Plugins()}));
    }
    void TearDown() override {
        StopWatchingSettings();
        log::Close();
        GameFixture::TearDown();
    }

    void Save(const std::string& name, const std::string& lines) const {
        folder.WriteFile(name, "[Settings]\r\n" + lines);
    }

    // Waits, at most a generous while, for what the watcher is to bring about.
    static bool Eventually(const std::function<bool()>& done) {
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (!done()) {
            if (Clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    static bool HotkeyIs(int key, int modifier = 0) {
        return HotkeyInForce() ==
               HotkeyBinding{static_cast<std::uint8_t>(key), static_cast<std::uint8_t>(modifier)}
                   .Word();
    }

    static std::string Written() {
        log::Flush();
        return FileText(log::Path());
    }

    PluginFolder folder;
};

// Only the settings' values change: no window, stage, warm-up or handbrake state moves, and no
// game pointer is looked up again. A save between the last reload and the start of watching
// counts as one.
TEST_F(WatchedSettings, ASaveIsPutInForceAndOnlyTheSettingsChange) {
    Save("TaviroCustom.ini", "iHandbrakeHotkey=0x47\r\n");
    ReloadSettings();
    state.warmupCount = 12;
    state.windowCount = 7;
    state.engageStage = 2;
    state.exitWindowOpen = true;
    state.handbrakeEngaged.store(false);
    state.gameUi = nullptr;  // a refresh would find the game's again
    const auto lookups = testbed::DataFiles::Get().LookupCalls();

    Save("TaviroCustom.ini",
         "iHandbrakeHotkey=0x48\r\niHandbrakeHotkeyModifier=0x10\r\nbLogging=1\r\n");
    StartWatchingSettings();
    ASSERT_TRUE(Eventually([] { return HotkeyIs(0x48, 0x10); }));
    EXPECT_TRUE(controlState.loggingEnabled.load());
    EXPECT_EQ(state.warmupCount, 12u);
    EXPECT_EQ(state.windowCount, 7);
    EXPECT_EQ(state.engageStage, 2);
    EXPECT_TRUE(state.exitWindowOpen);
    EXPECT_FALSE(state.handbrakeEngaged.load());
    EXPECT_EQ(state.gameUi, nullptr);
    EXPECT_EQ(testbed::DataFiles::Get().LookupCalls(), lookups);
    EXPECT_EQ(Occurrences(Written(),
                          "TaviroCustom.ini changed while the game runs: reading the "
                          "settings again"),
              1u);
}

// A file being written is read once it has stopped changing, not at every write of it.
TEST_F(WatchedSettings, AFileStillBeingWrittenIsReadOnceItHasStopped) {
    Save("TaviroCustom.ini", "iHandbrakeHotkey=0x47\r\n");
    ReloadSettings();
    StartWatchingSettings();
    // A slow writer: the file grows by a line every few milliseconds for a third of a second,
    // and the watcher looks ten times a second.
    std::string comments;
    // The file stands still at most from the start of one write to the end of the next; a
    // loaded machine may stretch that to the 80 ms the watcher waits for, and a read in between
    // is then due.
    auto longestStill = Clock::duration::zero();
    auto previousStart = Clock::now();
    bool halfPublished = false;
    const auto write = [&](const std::string& hotkey) {
        const auto start = Clock::now();
        std::ofstream(folder.Plugins() / "TaviroCustom.ini", std::ios::binary)
            << "[Settings]\r\n" + comments + hotkey;
        longestStill = std::max(longestStill, Clock::now() - previousStart);
        previousStart = start;
    };
    for (int line = 0; line < 60; ++line) {
        comments += "; line " + std::to_string(line) + "\r\n";
        // Halfway, a value the finished file no longer has.
        write(line >= 30 ? "iHandbrakeHotkey=0x41\r\n" : "");
        halfPublished = halfPublished || HotkeyIs(0x41);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    write("iHandbrakeHotkey=0x48\r\n");
    ASSERT_TRUE(Eventually([] { return HotkeyIs(0x48); }));
    if (longestStill >= std::chrono::milliseconds(80)) {
        GTEST_SKIP() << "the file stood still for up to "
                     << std::chrono::duration_cast<std::chrono::milliseconds>(longestStill).count()
                     << " ms, as long as the watcher waits for: a read in between was its due";
    }
    EXPECT_FALSE(halfPublished);
    EXPECT_EQ(Occurrences(Written(), "TaviroCustom.ini changed"), 1u);
}

// Looks keep to a schedule, so a late one is followed by an early one; two looks close together
// must not take a file that stood still between them for one that a writer has finished.
TEST_F(WatchedSettings, LooksCloseTogetherStillWaitForTheFileToStandStill) {
    Save("TaviroCustom.ini", "iHandbrakeHotkey=0x47\r\n");
    ReloadSettings();
    StartWatchingSettings();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the first look is over

    const auto start = Clock::now();
    Save("TaviroCustom.ini", "iHandbrakeHotkey=0x41\r\n");  // half of a slow writer's work
    for (int look = 0; look < 3; ++look) {
        StartWatchingSettings();  // wakes the watcher: a look now
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const bool halfPublished = HotkeyIs(0x41);
    Save("TaviroCustom.ini", "iHandbrakeHotkey=0x48\r\n; done\r\n");
    const auto stoodStill = Clock::now() - start;
    ASSERT_TRUE(Eventually([] { return HotkeyIs(0x48); }));
    if (stoodStill >= std::chrono::milliseconds(80)) {
        GTEST_SKIP() << "the half-written file stood still for as long as the watcher waits for";
    }
    EXPECT_FALSE(halfPublished);
    EXPECT_EQ(Occurrences(Written(), "TaviroCustom.ini changed"), 1u);
}

// The plugin's own creation of Taviro.ini is not a change; deleting TaviroCustom.ini is, and
// switches its values off.
TEST_F(WatchedSettings, OwnCreationIsNoChangeAndADeletedCustomFileSwitchesItsValuesOff) {
    Save("TaviroCustom.ini", "iHandbrakeHotkey=0x47\r\nbLogging=1\r\n");
    ReloadSettings();  // creates Taviro.ini
    ASSERT_TRUE(fs::exists(folder.Plugins() / "Taviro.ini"));
    StartWatchingSettings();
    ASSERT_TRUE(HotkeyIs(0x47));

    fs::remove(folder.Plugins() / "TaviroCustom.ini");
    ASSERT_TRUE(Eventually([] { return HotkeyIs(0); }));
    EXPECT_FALSE(controlState.loggingEnabled.load());
    const std::string written = Written();
    EXPECT_EQ(Occurrences(written, "while the game runs"), 1u) << written;
    EXPECT_EQ(Occurrences(written, "TaviroCustom.ini was deleted while the game runs"), 1u)
        << written;
    // Nor said alongside the deletion, when both come due at one look.
    EXPECT_EQ(
        Occurrences(written, "Taviro.ini changed") + Occurrences(written, "Taviro.ini appeared"),
        0u)
        << written;
}

// A file another program holds shut is no file taken away: what it gave stays in force through
// a save made while it is held and a game load that meets it, the log says so once, and it is
// read as soon as it is let go, though it looks as it did. At the launch's first reading there
// is nothing to keep: it is read once it can be.
TEST_F(WatchedSettings, AFileHeldShutKeepsItsSettingsAndIsReadOnceLetGo) {
    Save("TaviroCustom.ini", "iHandbrakeHotkey=0x47\r\n");
    ReloadSettings();
    StartWatchingSettings();
    const fs::path custom = folder.Plugins() / "TaviroCustom.ini";
    const auto said = [](const char* what) { return Occurrences(Written(), what); };
    {
        HeldFile holder(custom);
        ASSERT_TRUE(holder.Held());
        ASSERT_TRUE(holder.Write("[Settings]\r\niHandbrakeHotkey=0x48\r\n"));
        ASSERT_TRUE(
            Eventually([&] { return said("TaviroCustom.ini: cannot be read for now") > 0; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // three looks more
        EXPECT_TRUE(HotkeyIs(0x47));
        ReloadSettings();  // a game load
        EXPECT_TRUE(HotkeyIs(0x47));
    }
    ASSERT_TRUE(Eventually([] { return HotkeyIs(0x48); }));
    EXPECT_EQ(said("TaviroCustom.ini: cannot be read for now"), 1u);
    EXPECT_EQ(said("TaviroCustom.ini: the settings read from it earlier stay in force"), 1u);
    EXPECT_EQ(said("TaviroCustom.ini: still cannot be read; the settings read from it earlier "
                   "stay in force"),
              1u);
    EXPECT_EQ(said("TaviroCustom.ini can be read again while the game runs"), 1u);

    StopWatchingSettings();  // a new launch
    HeldFile holder(custom);
    ASSERT_TRUE(holder.Held());
    ReloadSettings();
    StartWatchingSettings();
    EXPECT_TRUE(HotkeyIs(0));
    EXPECT_EQ(said("TaviroCustom.ini: none of its settings are in force until it can be read"), 1u);
    holder.LetGo();
    ASSERT_TRUE(Eventually([] { return HotkeyIs(0x48); }));
}

// However often the settings are read, the hook decides on its own: it never waits for a reload
// nor takes its busy path (which would let go of the handbrake the held key engages).
TEST_F(WatchedSettings, AReloadNeverMakesTheHookWaitOrTakeItsBusyPath) {
    Save("TaviroCustom.ini", "iHandbrakeHotkey=0x47\r\n");
    ReloadSettings();
    state.warmupCount = kWarmupCalls;
    game.SetFloat1(0.0f);
    testbed::UpdateObject vehicle;
    vehicle.SetFloat(1.0f);
    testbed::Game::SetKeyDown(kHotkey, true);
    std::atomic<bool> done{false};
    std::thread reloader([&] {
        for (int i = 0; i < 50; ++i) {
            ReloadSettings();
        }
        done.store(true);
    });
    std::uint64_t calls = 0;
    std::uint64_t released = 0;
    while (!done.load()) {
        const bool ranGame = VehicleUpdateHook(&vehicle) == kGameResult;
        released += ranGame && game.HandbrakeByte() == 0x03 ? 0u : 1u;
        ++calls;
    }
    reloader.join();
    testbed::Game::SetKeyDown(kHotkey, false);
    EXPECT_GT(calls, 0u);
    EXPECT_EQ(released, 0u) << "of " << calls << " calls";
}

// A file that another program holds shut for now is no file taken away: a reading gives the
// values the reading before it took from it, and at the first reading none; a file really gone
// switches its values off.
TEST(HeldSettingsFile, KeepsTheValuesItGaveTheReadingBefore) {
    PluginFolder folder;
    folder.WriteFile("Taviro.ini", "[Settings]\r\nbLogging=0\r\niHandbrakeHotkey=0x20\r\n");
    folder.WriteFile("TaviroCustom.ini", "[Settings]\r\nbLogging=1\r\niHandbrakeHotkey=0x41\r\n");
    const fs::path kCustomFile = folder.Plugins() / "TaviroCustom.ini";
    const Settings read = LoadSettings();
    ASSERT_EQ(read.hotkey.value, 0x41u);
    Settings kept;
    {
        HeldFile holder(kCustomFile);
        ASSERT_TRUE(holder.Held());
        const Settings first = LoadSettings();
        EXPECT_EQ(first.customFile, FileState::Held);
        EXPECT_EQ(first.customFile.error, ERROR_SHARING_VIOLATION);
        EXPECT_FALSE(first.customFile.keptEarlier);
        EXPECT_EQ(first.hotkey.value, 0x20u);
        EXPECT_EQ(first.logging.value, 0u);

        kept = LoadSettings(&read);
        EXPECT_TRUE(kept.customFile.keptEarlier);
        EXPECT_FALSE(kept.customFile.heldBefore);
        EXPECT_EQ(kept.hotkey.value, 0x41u);
        EXPECT_EQ(kept.hotkey.from, SettingsSource::CustomFile);
        EXPECT_EQ(kept.logging.value, 1u);
        EXPECT_EQ(kept.entries.size(), read.entries.size());

        const Settings again = LoadSettings(&kept);
        EXPECT_TRUE(again.customFile.heldBefore);
        EXPECT_EQ(again.hotkey.value, 0x41u);
    }
    fs::remove(kCustomFile);
    const Settings gone = LoadSettings(&kept);
    EXPECT_EQ(gone.customFile, FileState::Missing);
    EXPECT_EQ(gone.hotkey.value, 0x20u);
    EXPECT_EQ(gone.logging.value, 0u);
}

}  // namespace
}  // namespace taviro::testing
