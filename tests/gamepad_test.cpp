// The controllers: what a pad's state holds as gamepad codes, and the reader that reads the pads
// through the game's stand-in XInput (the stand-in layer's natively, the stand-in DLL under Wine).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Gamepads.h"
#include "input/GamepadReader.h"
#include "input/KeyNames.h"
#include "log/Log.h"
#include "settings/Settings.h"
#include "settings/SettingsWatcher.h"
#include "support/LogCheck.h"
#include "support/PluginFolder.h"
#ifndef _WIN32
#include "winshim/control.h"
#endif

namespace taviro::testing {
namespace {

using gamepad::CodeBit;

// --- A pad's state as codes ---

TEST(PadState, EveryButtonIsItsOwnCode) {
    struct Row {
        WORD button;
        int code;
    };
    const Row rows[] = {
        {XINPUT_GAMEPAD_A, 0xC3},
        {XINPUT_GAMEPAD_B, 0xC4},
        {XINPUT_GAMEPAD_X, 0xC5},
        {XINPUT_GAMEPAD_Y, 0xC6},
        {XINPUT_GAMEPAD_RIGHT_SHOULDER, 0xC7},
        {XINPUT_GAMEPAD_LEFT_SHOULDER, 0xC8},
        {XINPUT_GAMEPAD_DPAD_UP, 0xCB},
        {XINPUT_GAMEPAD_DPAD_DOWN, 0xCC},
        {XINPUT_GAMEPAD_DPAD_LEFT, 0xCD},
        {XINPUT_GAMEPAD_DPAD_RIGHT, 0xCE},
        {XINPUT_GAMEPAD_START, 0xCF},
        {XINPUT_GAMEPAD_BACK, 0xD0},
        {XINPUT_GAMEPAD_LEFT_THUMB, 0xD1},
        {XINPUT_GAMEPAD_RIGHT_THUMB, 0xD2},
    };
    for (const Row& row : rows) {
        XINPUT_GAMEPAD pad{};
        pad.wButtons = row.button;
        EXPECT_EQ(gamepad::ButtonsHeldOn(pad), CodeBit(static_cast<std::uint32_t>(row.code)))
            << std::hex << row.code;
    }
    XINPUT_GAMEPAD all{};
    all.wButtons = 0xF3FF;                            // every button XInput has
    EXPECT_EQ(gamepad::ButtonsHeldOn(all), 0xFF3Fu);  // 0xC3-0xC8 and 0xCB-0xD2
}

// A trigger counts past XInput's threshold (30), a stick's direction past its dead zone (7849
// left, 8689 right), each on its own axis.
TEST(PadState, TriggersAndSticksCountPastTheirThresholds) {
    struct Row {
        const char* what;
        BYTE leftTrigger, rightTrigger;
        SHORT lx, ly, rx, ry;
        std::uint32_t held;
    };
    const Row rows[] = {
        {"triggers at the threshold", 30, 30, 0, 0, 0, 0, 0},
        {"triggers past it", 31, 255, 0, 0, 0, 0, CodeBit(0xC9) | CodeBit(0xCA)},
        {"left stick at its dead zone", 0, 0, 7849, -7849, 0, 0, 0},
        {"left stick past it", 0, 0, 7850, -7850, 0, 0, CodeBit(0xD5) | CodeBit(0xD4)},
        {"left stick all the way", 0, 0, -32768, 32767, 0, 0, CodeBit(0xD6) | CodeBit(0xD3)},
        {"right stick inside its dead zone", 0, 0, 0, 0, 8689, -8689, 0},
        {"right stick past it", 0, 0, 0, 0, -8690, 8690, CodeBit(0xDA) | CodeBit(0xD7)},
        {"right stick down and right", 0, 0, 0, 0, 8690, -8690, CodeBit(0xD9) | CodeBit(0xD8)},
        {"left's dead zone is not the right's", 0, 0, 0, 0, 8000, 0, 0},
    };
    for (const Row& row : rows) {
        XINPUT_GAMEPAD pad{};
        pad.bLeftTrigger = row.leftTrigger;
        pad.bRightTrigger = row.rightTrigger;
        pad.sThumbLX = row.lx;
        pad.sThumbLY = row.ly;
        pad.sThumbRX = row.rx;
        pad.sThumbRY = row.ry;
        EXPECT_EQ(gamepad::ButtonsHeldOn(pad), row.held) << row.what;
    }
}

// --- The reader ---

constexpr std::uint32_t kA = 0xC3;
constexpr std::uint32_t kLB = 0xC8;

class Reader : public ::testing::Test {
protected:
    void SetUp() override {
        gamepad::ResetReader();
        ASSERT_TRUE(pads.Load()) << pads.Error();
        pads.Reset();
        pads.Connect(0, true);
#ifndef _WIN32
        winshim::SetXInputInstalled(true);
        winshim::ForgetLibraries();
        LoadLibraryW(L"xinput1_4.dll");  // the game's
#endif
    }
    void TearDown() override {
        gamepad::ResetReader();
    }

    // The stand-in's count of questions, for any slot.
    DWORD64 Reads() const {
        return pads.Reads(testbed::Gamepads::kSlots);
    }

    testbed::Gamepads& pads = testbed::Gamepads::Get();
};

TEST_F(Reader, ReadsNoPadUntilAControllerCodeIsBoundAndStopsWhenNoneIs) {
    // Settings that bind no controller's button as a hotkey: keys only, or a button as the
    // modifier of no hotkey.
    Settings keys;
    keys.hotkey.value = 0x47;
    keys.modifier.value = 0x10;
    Settings modifierAlone;
    modifierAlone.modifier.value = 0xC8;
    const DWORD64 before = Reads();
    for (const Settings& settings : {keys, modifierAlone}) {
        PublishSettings(settings);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(Reads(), before);
    }
    // A key's controller modifier binds that button: the pads are read, and it counts as held.
    Settings padModifier;
    padModifier.hotkey.value = 0x47;
    padModifier.modifier.value = kLB;
    PublishSettings(padModifier);
    pads.SetButton(0, kLB, true);
    ASSERT_TRUE(pads.AwaitRead(0)) << "a key's controller modifier is not read";
    EXPECT_TRUE(gamepad::ButtonHeld(kLB));
    pads.SetButton(0, kLB, false);
    PublishSettings({});

    gamepad::Watch(CodeBit(kA));
    pads.SetButton(0, kA, true);
    ASSERT_TRUE(pads.AwaitRead(0));
    EXPECT_TRUE(gamepad::ButtonHeld(kA));

    gamepad::Watch(0);
    // Its last step lets the button go; a busy machine may hold that step up a while.
    for (int i = 0; i < 5000 && gamepad::ButtonHeld(kA); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_FALSE(gamepad::ButtonHeld(kA));
    const DWORD64 stopped = Reads();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(Reads(), stopped);
}

// Any pad counts; a pad pulled out while its button is held lets it go; an empty slot is asked
// at most once a second.
TEST_F(Reader, AnyPadCountsAndAPadPulledOutLetsGo) {
    gamepad::Watch(CodeBit(kA));
    pads.Connect(2, true);
    ASSERT_TRUE(pads.AwaitRead(2));
    pads.SetButton(2, kA, true);
    ASSERT_TRUE(pads.AwaitRead(2));
    EXPECT_TRUE(gamepad::ButtonHeld(kA));

    const DWORD64 emptyBefore = pads.Reads(3);
    pads.Connect(2, false);
    ASSERT_TRUE(pads.AwaitRead(2));  // the pull seen, then the slot asked again a second later
    EXPECT_FALSE(gamepad::ButtonHeld(kA));
    // Slot 4 stayed empty through more than a second of reading: asked once or twice.
    EXPECT_LE(pads.Reads(3) - emptyBefore, 2u);
    // And through half a second more of reading slot 1, once at most.
    const DWORD64 emptyNow = pads.Reads(3);
    const DWORD64 readsNow = pads.Reads(0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_GT(pads.Reads(0), readsNow) << "the reader stood still";
    EXPECT_LE(pads.Reads(3) - emptyNow, 1u);
}

// The log tells the player when a bound controller code waits for a controller, and each
// connection and disconnection, at most once a second for each controller however fast a
// wireless pad's link comes and goes.
TEST_F(Reader, SaysWhenNoneIsConnectedAndEachChangeAtMostOnceASecond) {
    PluginFolder folder;
    ASSERT_TRUE(log::Open({folder.Plugins()}));
    pads.Connect(0, false);
    gamepad::Watch(CodeBit(kA), "LB + A");
    const auto written = [] {
        log::Flush();
        return FileText(log::Path());
    };
    const std::string waiting =
        "controllers: no controller connected: the hotkey LB + A waits for one";
    for (int i = 0; i < 500 && written().find(waiting) == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // Plugged in, pulled out as soon as the plugin has seen it, and plugged in again.
    for (const bool connected : {true, false, true}) {
        pads.Connect(1, connected);
        ASSERT_TRUE(pads.AwaitRead(1));
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));  // the last change's second is up
    gamepad::ResetReader();
    const std::string text = written();
    log::Close();

    EXPECT_EQ(Occurrences(text, waiting), 2u) << text;
    // Each change once, in order, and a second at least between two lines of the controller.
    std::vector<std::pair<long, std::string>> said;  // milliseconds of the day, line
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("controllers: controller 2 ") != std::string::npos) {
            int h = 0, m = 0, sec = 0, ms = 0;
            ASSERT_EQ(std::sscanf(line.c_str(), "%d:%d:%d.%d", &h, &m, &sec, &ms), 4) << line;
            said.push_back({((h * 60L + m) * 60 + sec) * 1000 + ms, line});
        }
    }
    ASSERT_EQ(said.size(), 3u) << text;
    EXPECT_NE(said[0].second.find("controller 2 connected"), std::string::npos);
    EXPECT_NE(said[1].second.find("controller 2 disconnected"), std::string::npos);
    EXPECT_NE(said[2].second.find("controller 2 connected"), std::string::npos);
    for (std::size_t i = 1; i < said.size(); ++i) {
        EXPECT_GE(said[i].first - said[i - 1].first, 990) << said[i].second;
    }
}

// The hotkey's presses, counted as the reader reads: a tap between two of the game's frames is a
// press, a button held long is one; with a controller's modifier only a press made while it is
// held counts; a button held through a change of the binding, or while the reader was stopped, is
// no press.
TEST_F(Reader, CountsTheHotkeysPressesAsItReadsThem) {
    const auto set = [&](std::uint32_t code, bool down) {
        pads.SetButton(0, static_cast<int>(code), down);
        ASSERT_TRUE(pads.AwaitRead(0));
    };
    // Read twice more with what the pad holds now: a binding just put in force has been taken in.
    const auto readTwice = [&] {
        const DWORD64 reads = pads.Reads(0);
        for (int i = 0; i < 5000 && pads.Reads(0) < reads + 2; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_GE(pads.Reads(0), reads + 2);
    };
    gamepad::CountPressesOf(kA, 0);
    gamepad::Watch(CodeBit(kA) | CodeBit(kLB));
    readTwice();
    const std::uint32_t start = gamepad::HotkeyPresses();
    set(kA, true);
    set(kA, false);
    EXPECT_EQ(gamepad::HotkeyPresses(), start + 1) << "a tap";
    set(kA, true);
    readTwice();
    set(kA, false);
    EXPECT_EQ(gamepad::HotkeyPresses(), start + 2) << "a long press is one";

    gamepad::CountPressesOf(kA, kLB);
    readTwice();
    set(kA, true);
    set(kA, false);
    EXPECT_EQ(gamepad::HotkeyPresses(), start + 2) << "A without LB";
    set(kLB, true);
    set(kA, true);
    set(kA, false);
    set(kLB, false);
    EXPECT_EQ(gamepad::HotkeyPresses(), start + 3) << "LB + A";

    set(kA, true);
    gamepad::CountPressesOf(kA, 0);
    readTwice();
    EXPECT_EQ(gamepad::HotkeyPresses(), start + 3) << "held through a change of the binding";
    gamepad::Watch(0);
    for (int i = 0; i < 5000 && gamepad::ButtonHeld(kA); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_FALSE(gamepad::ButtonHeld(kA)) << "the reader has stopped";
    gamepad::Watch(CodeBit(kA));
    readTwice();
    set(kA, false);
    EXPECT_EQ(gamepad::HotkeyPresses(), start + 3) << "held while nothing was read";
    gamepad::CountPressesOf(0, 0);
}

#ifndef _WIN32
// Which XInput: the one the game has loaded, else System32's, in the order 1.4, 1.3, 9.1.0; and
// without any, one line in the log and no controller code ever held.
TEST_F(Reader, TakesTheGamesXInputElseSystem32sElseSaysSoOnce) {
    winshim::ForgetLibraries();
    LoadLibraryW(L"xinput1_3.dll");  // the game's, an older one
    gamepad::Watch(CodeBit(kA));
    pads.SetButton(0, kA, true);
    ASSERT_TRUE(pads.AwaitRead(0));
    EXPECT_EQ(winshim::LibraryLoads().size(), 1u) << "the plugin loaded one of its own";

    gamepad::ResetReader();
    winshim::ForgetLibraries();
    gamepad::Watch(CodeBit(kA));
    pads.SetButton(0, kA, false);
    ASSERT_TRUE(pads.AwaitRead(0));
    ASSERT_EQ(winshim::LibraryLoads().size(), 1u);
    EXPECT_EQ(winshim::LibraryLoads()[0].name, L"xinput1_4.dll");
    EXPECT_EQ(winshim::LibraryLoads()[0].flags, LOAD_LIBRARY_SEARCH_SYSTEM32);

    PluginFolder folder;
    ASSERT_TRUE(log::Open({folder.Plugins()}));
    gamepad::ResetReader();
    winshim::ForgetLibraries();
    winshim::SetXInputInstalled(false);
    pads.SetButton(0, kA, true);
    gamepad::Watch(CodeBit(kA));
    for (int i = 0; i < 5000 && winshim::LibraryLoads().size() < 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    gamepad::Watch(0);
    gamepad::Watch(CodeBit(kA));  // bound again: not tried, nor said, again
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    gamepad::ResetReader();  // waits for the step under way, and what it says, to end
    const auto loads = winshim::LibraryLoads();
    ASSERT_EQ(loads.size(), 3u);
    EXPECT_EQ(loads[0].name, L"xinput1_4.dll");
    EXPECT_EQ(loads[1].name, L"xinput1_3.dll");
    EXPECT_EQ(loads[2].name, L"xinput9_1_0.dll");
    for (const auto& load : loads) {
        EXPECT_EQ(load.flags, LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    EXPECT_FALSE(gamepad::ButtonHeld(kA));
    log::Flush();
    const std::string written = FileText(log::Path());
    log::Close();
    const std::string said = "controllers: no XInput library";
    const auto first = written.find(said);
    EXPECT_NE(first, std::string::npos) << written;
    EXPECT_EQ(written.find(said, first + 1), std::string::npos) << written;
}
#endif

// A code is logged under its first name, not a later alias.
TEST(KeyNames, ACodeIsNamedByItsFirstName) {
    for (const auto& [code, name] :
         std::vector<std::pair<std::uint32_t, std::string>>{{0x04, "Mouse3"},
                                                            {0x0D, "Enter"},
                                                            {0x11, "Ctrl"},
                                                            {0x1B, "Escape"},
                                                            {0xA0, "LShift"}}) {
        ASSERT_NE(KeyName(code), nullptr) << code;
        EXPECT_EQ(KeyName(code), name);
    }
}

}  // namespace
}  // namespace taviro::testing
