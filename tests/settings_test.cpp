// The settings files, run against real files: the platform's own private-profile functions on
// Windows (and under Wine), the stand-ins elsewhere. Every test runs in a fresh folder of its own,
// since the settings paths are relative to the current directory.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Win32.h"
#include "plugin/ControlState.h"
#include "plugin/HexText.h"
#include "plugin/IniFile.h"
#include "plugin/Settings.h"

namespace fs = std::filesystem;
using taviro::controlState;

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;
using Sections = std::vector<std::pair<std::string, Entries>>;

// What a file says, independent of how the writer laid it out: Wine rewrites the whole file.
Sections ParseIni(const std::string& text) {
    Sections sections;
    std::istringstream in(text);
    std::string line;
    const auto trim = [](std::string s) {
        const auto first = s.find_first_not_of(" \t\r");
        const auto last = s.find_last_not_of(" \t\r");
        return first == std::string::npos ? std::string() : s.substr(first, last - first + 1);
    };
    while (std::getline(in, line)) {
        line = trim(line);
        if (!line.empty() && line.front() == '[') {
            sections.push_back({line.substr(1, line.find(']') - 1), {}});
        } else if (const auto eq = line.find('='); eq != std::string::npos && !sections.empty()) {
            sections.back().second.push_back({trim(line.substr(0, eq)), trim(line.substr(eq + 1))});
        }
    }
    return sections;
}

const fs::path kFolder = fs::path("Data") / "SFSE" / "Plugins";
const fs::path kDefaultFile = kFolder / "Taviro.ini";
const fs::path kCustomFile = kFolder / "TaviroCustom.ini";

void WriteFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A [Settings] file with the keys that are given; nullopt leaves a key out.
std::string SettingsText(std::optional<std::string> logging, std::optional<std::string> hotkey) {
    std::string text = "[Settings]\r\n";
    if (logging) {
        text += "bLogging=" + *logging + "\r\n";
    }
    if (hotkey) {
        text += "iHandbrakeHotkey=" + *hotkey + "\r\n";
    }
    return text;
}

class SettingsFiles : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = fs::current_path();
        std::random_device random;
        folder_ = fs::temp_directory_path() / ("taviro-settings-" + std::to_string(random()));
        fs::create_directories(folder_ / kFolder);
        fs::current_path(folder_);
        // Stale values that every load must overwrite.
        controlState.hotkeyCode = 0x99;
        controlState.loggingEnabled = true;
    }
    void TearDown() override {
        fs::current_path(previous_);
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    static void Load() {
        std::lock_guard lock(taviro::StateMutex);
        taviro::LoadSettings();
    }

    fs::path previous_;
    fs::path folder_;
};

// --- The hotkey text, as a player types it into the default file ---

struct HotkeyCase {
    const char* text;
    std::uint32_t expected;
};

class HotkeyText : public SettingsFiles, public ::testing::WithParamInterface<HotkeyCase> {};

TEST_P(HotkeyText, GivesTheKeyCodeOrNone) {
    WriteFile(kDefaultFile, SettingsText("0", GetParam().text));
    Load();
    EXPECT_EQ(controlState.hotkeyCode, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, HotkeyText,
    ::testing::Values(HotkeyCase{"0x1B", 27}, HotkeyCase{"1b", 27}, HotkeyCase{"27", 39},
                      HotkeyCase{"0xFE", 254}, HotkeyCase{"0X01", 1}, HotkeyCase{"0xFF", 0},
                      HotkeyCase{"0x0", 0}, HotkeyCase{"-1", 0}, HotkeyCase{"G", 0},
                      HotkeyCase{"0x", 0}, HotkeyCase{"0x100000000", 0},
                      HotkeyCase{"0x10000001B", 0}, HotkeyCase{"20 other text", 32},
                      HotkeyCase{"\"0x1B\"", 27}));

// --- Which file wins ---

struct OverrideCase {
    std::optional<std::string> defaultLogging, defaultHotkey;
    bool customFile;
    std::optional<std::string> customLogging, customHotkey;
    bool logging;
    std::uint32_t hotkey;
};

class Override : public SettingsFiles, public ::testing::WithParamInterface<OverrideCase> {};

TEST_P(Override, CustomValuesWinKeyByKey) {
    const auto& c = GetParam();
    WriteFile(kDefaultFile, SettingsText(c.defaultLogging, c.defaultHotkey));
    if (c.customFile) {
        WriteFile(kCustomFile, SettingsText(c.customLogging, c.customHotkey));
    }
    Load();
    EXPECT_EQ(controlState.loggingEnabled, c.logging);
    EXPECT_EQ(controlState.hotkeyCode, c.hotkey);
}

const std::nullopt_t none = std::nullopt;

INSTANTIATE_TEST_SUITE_P(LoggingTexts, Override,
                         ::testing::Values(OverrideCase{"1", none, false, none, none, true, 0},
                                           OverrideCase{"0", none, false, none, none, false, 0},
                                           OverrideCase{"01", none, false, none, none, false, 0},
                                           OverrideCase{"10", none, false, none, none, false, 0},
                                           OverrideCase{"true", none, false, none, none, false, 0},
                                           OverrideCase{"yes", none, false, none, none, false, 0},
                                           OverrideCase{"", none, false, none, none, false, 0},
                                           OverrideCase{"1", none, true, "", none, true, 0},
                                           OverrideCase{"1", none, true, "0", none, false, 0},
                                           OverrideCase{"0", none, true, "1", none, true, 0},
                                           OverrideCase{"1", none, true, none, none, true, 0}));

INSTANTIATE_TEST_SUITE_P(HotkeyTexts, Override,
                         ::testing::Values(OverrideCase{"0", "0x20", true, none, "0x41", false, 65},
                                           OverrideCase{"0", "0x20", true, none, "0x0", false, 32},
                                           OverrideCase{"0", "0x20", true, none, "zz", false, 32},
                                           OverrideCase{"0", "0x20", true, none, "", false, 32},
                                           OverrideCase{"0", "0x20", true, none, none, false, 32},
                                           OverrideCase{"0", none, true, none, "0x41", false, 65}));

// --- The default file's life ---

TEST_F(SettingsFiles, MissingDefaultFileIsCreatedWithDefaultsAndNotRewritten) {
    Load();
    EXPECT_EQ(controlState.hotkeyCode, 0u);
    EXPECT_FALSE(controlState.loggingEnabled);
    const Sections expected{{"Settings", {{"bLogging", "0"}, {"iHandbrakeHotkey", "0x0"}}}};
    const std::string created = ReadFile(kDefaultFile);
    EXPECT_EQ(ParseIni(created), expected);
    EXPECT_FALSE(fs::exists(kCustomFile));

    Load();
    EXPECT_EQ(controlState.hotkeyCode, 0u);
    EXPECT_EQ(ReadFile(kDefaultFile), created);
}

TEST_F(SettingsFiles, DeletedDefaultFileIsCreatedAgain) {
    WriteFile(kDefaultFile, SettingsText("1", "0x20"));
    Load();
    EXPECT_EQ(controlState.hotkeyCode, 32u);

    fs::remove(kDefaultFile);
    Load();
    EXPECT_EQ(controlState.hotkeyCode, 0u);
    EXPECT_FALSE(controlState.loggingEnabled);
    EXPECT_EQ(ParseIni(ReadFile(kDefaultFile)).size(), 1u);

    fs::remove(kDefaultFile);
    WriteFile(kCustomFile, SettingsText(none, "0x41"));
    Load();
    EXPECT_EQ(controlState.hotkeyCode, 65u);
}

TEST_F(SettingsFiles, EmptyDefaultFileIsLeftEmpty) {
    WriteFile(kDefaultFile, "");
    Load();
    EXPECT_EQ(controlState.hotkeyCode, 0u);
    EXPECT_FALSE(controlState.loggingEnabled);
    EXPECT_EQ(fs::file_size(kDefaultFile), 0u);
}

TEST_F(SettingsFiles, FolderInPlaceOfDefaultFileCountsAsThereButGivesNothing) {
    fs::create_directory(kDefaultFile);
    WriteFile(kCustomFile, SettingsText(none, "0x41"));
    EXPECT_TRUE(taviro::IniFileExists("Taviro", ""));
    EXPECT_EQ(taviro::ReadIniString("Taviro", "Settings", "bLogging", ""), "");
    EXPECT_FALSE(taviro::WriteIniString("Taviro", "Settings", "bLogging", "0", ""));
    Load();
    EXPECT_EQ(controlState.hotkeyCode, 65u);
    EXPECT_TRUE(fs::is_directory(kDefaultFile));
}

TEST_F(SettingsFiles, MissingPluginFolderCreatesNothing) {
    fs::remove_all("Data");
    fs::create_directory("Data");
    Load();
    EXPECT_EQ(controlState.hotkeyCode, 0u);
    EXPECT_FALSE(controlState.loggingEnabled);
    EXPECT_TRUE(fs::is_empty("Data"));
    EXPECT_FALSE(taviro::WriteIniString("Taviro", "Settings", "bLogging", "0", ""));
    EXPECT_TRUE(fs::is_empty("Data"));
}

// --- File syntax as players write it ---

TEST_F(SettingsFiles, LineEndsBlanksAndCaseDoNotMatter) {
    for (const char* end : {"\r\n", "\n"}) {
        WriteFile(kDefaultFile, std::string("[settings]") + end + "  BLOGGING  =  1  " + end +
                                    "\tiHandbrakeHotkey\t=\t0x1B\t" + end);
        Load();
        EXPECT_TRUE(controlState.loggingEnabled) << "line end " << end;
        EXPECT_EQ(controlState.hotkeyCode, 27u) << "line end " << end;
    }
}

TEST_F(SettingsFiles, LongValueIsCutTo9999Characters) {
    WriteFile(kCustomFile, "[Settings]\r\nbLogging=" + std::string(12000, 'a') + "\r\n");
    EXPECT_EQ(taviro::ReadIniString("TaviroCustom", "Settings", "bLogging", ""),
              std::string(9999, 'a'));
}

// --- The access layer's guards and its read-back ---

TEST_F(SettingsFiles, EmptyNamesAndOverlongPathsTouchNoFile) {
    WriteFile(kDefaultFile, SettingsText("1", "0x20"));
    const std::string before = ReadFile(kDefaultFile);
    EXPECT_FALSE(taviro::IniFileExists("", ""));
    EXPECT_EQ(taviro::ReadIniString("", "Settings", "bLogging", ""), "");
    EXPECT_EQ(taviro::ReadIniString("Taviro", "", "bLogging", ""), "");
    EXPECT_EQ(taviro::ReadIniString("Taviro", "Settings", "", ""), "");
    EXPECT_FALSE(taviro::WriteIniString("", "Settings", "bLogging", "0", ""));
    EXPECT_FALSE(taviro::WriteIniString("Taviro", "", "bLogging", "0", ""));
    EXPECT_FALSE(taviro::WriteIniString("Taviro", "Settings", "", "0", ""));
    EXPECT_FALSE(taviro::WriteIniString(std::string("Tav\0iro", 7), "Settings", "k", "0", ""));
    // 20 + 231 + 4 = 255 characters: one more than the path buffer holds.
    EXPECT_FALSE(taviro::WriteIniString(std::string(231, 'x'), "Settings", "k", "0", ""));
    EXPECT_EQ(ReadFile(kDefaultFile), before);
    EXPECT_EQ(std::distance(fs::directory_iterator(kFolder), fs::directory_iterator()), 1);
}

TEST_F(SettingsFiles, WriteReportsWhetherTheValueReadsBack) {
    WriteFile(kDefaultFile, "[Other]\r\nkeep=this\r\n[Settings]\r\nbLogging=1\r\n");
    EXPECT_TRUE(taviro::WriteIniString("Taviro", "Settings", "bLogging", "0", ""));
    EXPECT_TRUE(taviro::WriteIniString("Taviro", "Settings", "iHandbrakeHotkey", "", ""));
    EXPECT_TRUE(taviro::WriteIniString("Taviro", "Added", "key", "v", ""));
    const Sections expected{{"Other", {{"keep", "this"}}},
                            {"Settings", {{"bLogging", "0"}, {"iHandbrakeHotkey", ""}}},
                            {"Added", {{"key", "v"}}}};
    EXPECT_EQ(ParseIni(ReadFile(kDefaultFile)), expected);
    // Blanks around a value do not survive the file, so that value does not read back.
    EXPECT_FALSE(taviro::WriteIniString("Taviro", "Settings", "bLogging", "1 ", ""));
}

TEST_F(SettingsFiles, ConcurrentWritersLoseNoKey) {
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < 25; ++i) {
                std::string key = "k";
                key += std::to_string(t * 100 + i);
                taviro::WriteIniString("Taviro", "Settings", key, std::to_string(i), "");
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    ASSERT_EQ(ParseIni(ReadFile(kDefaultFile)).size(), 1u);
    EXPECT_EQ(ParseIni(ReadFile(kDefaultFile))[0].second.size(), 100u);
}

// --- The base-16 reading itself ---

TEST(ParseHex32, SignNegatesInThirtyTwoBits) {
    EXPECT_EQ(taviro::ParseHex32("-1"), 0xFFFFFFFFu);
    EXPECT_EQ(taviro::ParseHex32("-0x10"), 0xFFFFFFF0u);
    EXPECT_EQ(taviro::ParseHex32("-FFFFFFFF"), 1u);
    EXPECT_EQ(taviro::ParseHex32("+1b"), 0x1Bu);
    EXPECT_EQ(taviro::ParseHex32("--1"), std::nullopt);
    EXPECT_EQ(taviro::ParseHex32("+ 1"), std::nullopt);
}

TEST(ParseHex32, PrefixNeedsADigit) {
    EXPECT_EQ(taviro::ParseHex32("0x"), std::nullopt);
    EXPECT_EQ(taviro::ParseHex32("0Xg"), std::nullopt);
    EXPECT_EQ(taviro::ParseHex32("x1"), std::nullopt);
    EXPECT_EQ(taviro::ParseHex32("0"), 0u);
    EXPECT_EQ(taviro::ParseHex32("00x1"), 0u);
}

TEST(ParseHex32, OverflowStartsAtTwoToTheThirtyTwo) {
    EXPECT_EQ(taviro::ParseHex32("FFFFFFFF"), 0xFFFFFFFFu);
    EXPECT_EQ(taviro::ParseHex32("000000000000ffffffff"), 0xFFFFFFFFu);
    EXPECT_EQ(taviro::ParseHex32("100000000"), std::nullopt);
    EXPECT_EQ(taviro::ParseHex32("-100000000"), std::nullopt);
    EXPECT_EQ(taviro::ParseHex32("1000000000000000000000000"), std::nullopt);
}

TEST(ParseHex32, LeadingWhiteSpaceOnly) {
    EXPECT_EQ(taviro::ParseHex32(" \t\n\v\f\r1A"), 0x1Au);
    EXPECT_EQ(taviro::ParseHex32("1 A"), 1u);
    EXPECT_EQ(taviro::ParseHex32(""), std::nullopt);
    EXPECT_EQ(taviro::ParseHex32(" \t "), std::nullopt);
    EXPECT_EQ(taviro::ParseHex32(std::string_view("\0"
                                                  "1",
                                                  2)),
              std::nullopt);
}

}  // namespace
