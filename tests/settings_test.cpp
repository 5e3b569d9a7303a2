// The settings files, run against real files: the platform's own private-profile functions on
// Windows (and under Wine), the stand-ins elsewhere. Every test runs in a fresh folder of its own,
// since the settings paths are relative to the current directory.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Win32.h"
#include "input/KeyNames.h"
#include "log/Log.h"
#include "settings/IniFile.h"
#include "settings/SettingKeys.h"
#include "settings/Settings.h"
#include "settings/SettingsDiagnostics.h"
#include "support/HeldFile.h"
#include "support/PluginFolder.h"
#ifndef _WIN32
#include "winshim/control.h"
#endif

namespace fs = std::filesystem;
using taviro::testing::FileText;
using taviro::testing::SettingsIn;

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

const fs::path kFolder = fs::path("Data") / "SFSE" / "Plugins";
const fs::path kDefaultFile = kFolder / "Taviro.ini";
const fs::path kCustomFile = kFolder / "TaviroCustom.ini";

void WriteFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
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
    void Load() { settings = taviro::LoadSettings(); }

    // What the log says of the readings `readings` makes, from a log of the test's own.
    std::string Logged(const std::function<void()>& readings) const {
        if (!taviro::log::Open({folder.Plugins()})) {
            ADD_FAILURE() << "no log";
            return {};
        }
        readings();
        taviro::log::Flush();
        std::string written = FileText(taviro::log::Path());
        taviro::log::Close();
        return written;
    }

    taviro::testing::PluginFolder folder;
    taviro::Settings settings;
};

// --- The hotkey text, as a player types it into the default file ---

using taviro::ValueVerdict;

struct HotkeyCase {
    const char* text;
    std::uint32_t expected;
    ValueVerdict verdict;
};

class HotkeyText : public SettingsFiles, public ::testing::WithParamInterface<HotkeyCase> {};

TEST_P(HotkeyText, GivesTheKeyCodeOrSaysWhyNot) {
    WriteFile(kDefaultFile, SettingsText("0", GetParam().text));
    Load();
    EXPECT_EQ(settings.hotkey.value, GetParam().expected);
    ASSERT_EQ(settings.entries.size(), 2u);
    EXPECT_EQ(settings.entries[1].verdict, GetParam().verdict);
}

constexpr ValueVerdict kTaken = ValueVerdict::Taken;
constexpr ValueVerdict kNotHex = ValueVerdict::NotHexadecimal;
constexpr ValueVerdict kTooLarge = ValueVerdict::TooLarge;
constexpr ValueVerdict kOutOfRange = ValueVerdict::OutOfRange;

INSTANTIATE_TEST_SUITE_P(
    Table, HotkeyText,
    ::testing::Values(HotkeyCase{"0x1B", 27, kTaken}, HotkeyCase{"1b", 27, kTaken},
                      HotkeyCase{"27", 39, kTaken}, HotkeyCase{"0xFE", 254, kTaken},
                      HotkeyCase{"0X01", 1, kTaken}, HotkeyCase{"0xFF", 0, kOutOfRange},
                      HotkeyCase{"0x0", 0, kOutOfRange}, HotkeyCase{"-1", 0, kOutOfRange},
                      HotkeyCase{"G", 0, kNotHex}, HotkeyCase{"0x", 0, kNotHex},
                      HotkeyCase{"0x100000000", 0, kTooLarge},
                      HotkeyCase{"0x10000001B", 0, kTooLarge},
                      HotkeyCase{"20 other text", 32, kTaken}, HotkeyCase{"\"0x1B\"", 27, kTaken}));

TEST_F(SettingsFiles, SaysWhereEachValueCameFrom) {
    WriteFile(kDefaultFile, SettingsText("1", "0x20"));
    WriteFile(kCustomFile, SettingsText(std::nullopt, "G"));
    Load();
    EXPECT_EQ(settings.defaultFile, taviro::FileState::Read);
    EXPECT_EQ(settings.customFile, taviro::FileState::Read);
    EXPECT_EQ(settings.hotkey.from, taviro::SettingsSource::DefaultFile);
    EXPECT_EQ(settings.logging.from, taviro::SettingsSource::DefaultFile);
    ASSERT_EQ(settings.entries.size(), 3u);
    EXPECT_EQ(settings.entries[2].file, taviro::SettingsSource::CustomFile);
    EXPECT_STREQ(settings.entries[2].key->name, "iHandbrakeHotkey");
    EXPECT_EQ(settings.entries[2].text, "G");
    EXPECT_EQ(settings.entries[2].verdict, kNotHex);
}

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
    EXPECT_EQ(settings.logging.value != 0, c.logging);
    EXPECT_EQ(settings.hotkey.value, c.hotkey);
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

// --- The modifier ---

// iHandbrakeHotkeyModifier follows the hotkey's rule, file by file: the custom file's valid value
// wins, anything else leaves the default file's in force.
TEST_F(SettingsFiles, ModifierFollowsTheHotkeysRuleKeyByKey) {
    struct Row {
        std::optional<std::string> defaultModifier, customModifier;
        std::uint32_t modifier;
        taviro::SettingsSource from;
    };
    using taviro::SettingsSource;
    const Row rows[] = {
        {none, none, 0, SettingsSource::BuiltIn},
        {"0x10", none, 0x10, SettingsSource::DefaultFile},
        {"0x10", "0xC8", 0xC8, SettingsSource::CustomFile},
        {"0x10", "0x0", 0x10, SettingsSource::DefaultFile},
        {"0x10", "LB", 0x10, SettingsSource::DefaultFile},
        {"0x10", "0x100", 0x10, SettingsSource::DefaultFile},
        {none, "c8", 0xC8, SettingsSource::CustomFile},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.defaultModifier.value_or("-") + " / " + row.customModifier.value_or("-"));
        std::string defaults = SettingsText("0", "0x47");
        if (row.defaultModifier) {
            defaults += "iHandbrakeHotkeyModifier=" + *row.defaultModifier + "\r\n";
        }
        WriteFile(kDefaultFile, defaults);
        WriteFile(kCustomFile, "[Settings]\r\n" +
                                   (row.customModifier
                                        ? "iHandbrakeHotkeyModifier=" + *row.customModifier + "\r\n"
                                        : std::string()));
        Load();
        EXPECT_EQ(settings.hotkey.value, 0x47u);
        EXPECT_EQ(settings.modifier.value, row.modifier);
        EXPECT_EQ(settings.modifier.from, row.from);
    }
}

// bHandbrakeHotkeyToggle follows bLogging's rule, file by file: only "1" makes the hotkey a
// toggle, any other text keeps it held, and the custom file's text wins.
TEST_F(SettingsFiles, ToggleFollowsTheSwitchRuleKeyByKey) {
    struct Row {
        std::optional<std::string> defaultToggle, customToggle;
        bool toggle;
        taviro::SettingsSource from;
    };
    using taviro::SettingsSource;
    const Row rows[] = {
        {none, none, false, SettingsSource::BuiltIn},
        {"1", none, true, SettingsSource::DefaultFile},
        {"1", "0", false, SettingsSource::CustomFile},
        {"1", "yes", false, SettingsSource::CustomFile},
        {"1", "", true, SettingsSource::DefaultFile},
        {"true", "1", true, SettingsSource::CustomFile},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.defaultToggle.value_or("-") + " / " + row.customToggle.value_or("-"));
        const auto line = [](const std::optional<std::string>& text) {
            return "[Settings]\r\n" +
                   (text ? "bHandbrakeHotkeyToggle=" + *text + "\r\n" : std::string());
        };
        WriteFile(kDefaultFile, line(row.defaultToggle));
        WriteFile(kCustomFile, line(row.customToggle));
        Load();
        EXPECT_EQ(settings.toggle.value != 0, row.toggle);
        EXPECT_EQ(settings.toggle.from, row.from);
    }
}

// What the log tells a player of the hotkey: keys and buttons in players' words, a combination
// as one, and the code meant where the player wrote a name.
TEST_F(SettingsFiles, TheLogNamesButtonsAndCombinationsInPlayersWords) {
    struct Row {
        const char* defaults;  // lines under [Settings]
        const char* custom;
        const char* said;
    };
    const Row rows[] = {
        {"", "iHandbrakeHotkey=0x47\r\niHandbrakeHotkeyModifier=0x10",
         "settings in force: hotkey Shift + G, from TaviroCustom.ini;"},
        {"", "iHandbrakeHotkey=0xC3\r\niHandbrakeHotkeyModifier=0xC8",
         "settings in force: hotkey LB + A (controller), from TaviroCustom.ini;"},
        {"", "iHandbrakeHotkeyModifier=0xC8",
         "TaviroCustom.ini: iHandbrakeHotkeyModifier=\"0xC8\": modifier LB (controller, 0xC8)"},
        {"iHandbrakeHotkeyModifier=0x10", "iHandbrakeHotkey=0xC3",
         "settings in force: hotkey Shift + A (controller), the key from TaviroCustom.ini and "
         "the modifier from Taviro.ini;"},
        {"", "iHandbrakeHotkey=0x47\r\niHandbrakeHotkeyModifier=0xC8",
         "settings in force: hotkey LB (controller) + G, from TaviroCustom.ini;"},
        {"", "iHandbrakeHotkeyModifier=0x10",
         "settings in force: no hotkey, from the built-in default (the modifier Shift waits for "
         "one);"},
        {"", "iHandbrakeHotkeyModifier=LB",
         "iHandbrakeHotkeyModifier=\"LB\" refused: not a hexadecimal number; if you meant the "
         "controller's LB, write iHandbrakeHotkeyModifier=0xC8"},
        {"", "iHandbrakeHotkey=D-pad Up",
         "hotkey Enter (0x0D); if you meant the controller's D-pad Up, write "
         "iHandbrakeHotkey=0xCB"},
        {"", "iHandbrakeHotkey=VK_GAMEPAD_LEFT_THUMBSTICK_UP",
         "if you meant the controller's VK_GAMEPAD_LEFT_THUMBSTICK_UP, write "
         "iHandbrakeHotkey=0xD3"},
        {"", "iHandbrakeHotkey=0xDA",
         "iHandbrakeHotkey=\"0xDA\": hotkey Right stick Left (controller, 0xDA)"},
        // Toggling: said in the summary, its file named where it is not the hotkey's.
        {"", "iHandbrakeHotkey=0x47\r\nbHandbrakeHotkeyToggle=1",
         "settings in force: hotkey G, press to engage and press again to release, from "
         "TaviroCustom.ini;"},
        {"bHandbrakeHotkeyToggle=1", "iHandbrakeHotkey=0xC3\r\niHandbrakeHotkeyModifier=0xC8",
         "settings in force: hotkey LB + A (controller), press to engage and press again to "
         "release, the key and the modifier from TaviroCustom.ini and toggling from Taviro.ini;"},
        {"", "bHandbrakeHotkeyToggle=1",
         "TaviroCustom.ini: bHandbrakeHotkeyToggle=\"1\": a toggle: press the hotkey to engage "
         "and press again to release"},
        {"", "bHandbrakeHotkeyToggle=1\r\niHandbrakeHotkeyModifier=0x10",
         "settings in force: no hotkey, from the built-in default (the modifier Shift and "
         "toggling wait for one);"},
        {"", "bHandbrakeHotkeyToggle=yes",
         "TaviroCustom.ini: bHandbrakeHotkeyToggle=\"yes\": hold the hotkey to engage (only "
         "\"1\" makes it a toggle)"},
    };
    const std::string written = Logged([&] {
        for (const Row& row : rows) {
            WriteFile(kDefaultFile, std::string("[Settings]\r\n") + row.defaults + "\r\n");
            WriteFile(kCustomFile, std::string("[Settings]\r\n") + row.custom + "\r\n");
            taviro::LogSettings(taviro::LoadSettings());
        }
    });
    for (const Row& row : rows) {
        EXPECT_NE(written.find(row.said), std::string::npos) << row.said << "\n" << written;
    }
}

// What the log names that a player probably got wrong: a key or a section misspelt (with what
// was meant), a UTF-8 mark hiding [Settings] from Windows, a file under a name whose ending
// Windows hides. Keys are known by the settings table, in any letter case.
TEST_F(SettingsFiles, TheLogNamesEveryMistakeAPlayerCannotSee) {
    // The plugin folder's files (with no Taviro.ini the plugin creates one), and lines said.
    using Files = std::vector<std::pair<const char*, const char*>>;
    const char* g = "[Settings]\r\niHandbrakeHotkey=0x47\r\n";
    const std::pair<Files, std::vector<const char*>> rows[] = {
        {{{"Taviro.ini", ""},
          {"TaviroCustom.ini",
           "[Settings]\r\niHandbrakeHotkee=0x47\r\nbLoging=1\r\nColour=red\r\n"
           "IHANDBRAKEHOTKEY=0x48\r\niHandbrakeHotkeyModifer=0x10\r\n"}},
         {"TaviroCustom.ini: iHandbrakeHotkee is no setting of Taviro; did you mean "
          "iHandbrakeHotkey?",
          "TaviroCustom.ini: bLoging is no setting of Taviro; did you mean bLogging?",
          "TaviroCustom.ini: Colour is no setting of Taviro (its settings are bLogging, "
          "iHandbrakeHotkey, iHandbrakeHotkeyModifier, bHandbrakeHotkeyToggle)",
          "TaviroCustom.ini: iHandbrakeHotkeyModifer is no setting of Taviro; did you mean "
          "iHandbrakeHotkeyModifier?",
          "settings in force: hotkey H, from TaviroCustom.ini;"}},
        {{{"Taviro.ini", ""}, {"TaviroCustom.ini", "[Setting]\r\nbLogging=0\r\n"}},
         {"TaviroCustom.ini has no [Settings] section; [Setting] holds bLogging: rename it "
          "[Settings]"}},
        {{{"Taviro.ini", "iHandbrakeHotkey=0x47\r\n"}},
         {"Taviro.ini has no [Settings] section, so Taviro finds none of its settings there: "
          "they go under a line [Settings]"}},
        {{{"Taviro.txt", g}},
         {"Taviro.ini was not there, but Taviro.txt is: Windows hides the ending .txt, so rename "
          "it Taviro.ini"}},
        {{{"Taviro.ini", ""}, {"TaviroCustom.ini.txt", g}},
         {"TaviroCustom.ini was not there, but TaviroCustom.ini.txt is: Windows hides the "
          "ending .txt, so rename it TaviroCustom.ini"}},
        {{{"Taviro.ini", ""}, {"TaviroCustom.ini.ini", g}},
         {"TaviroCustom.ini was not there, but TaviroCustom.ini.ini is: Windows hides the "
          "ending .ini, so rename it TaviroCustom.ini"}},
    };
    taviro::Settings marked;
    const std::string written = Logged([&] {
        for (const auto& row : rows) {
            for (const auto& entry : fs::directory_iterator(kFolder)) {
                if (entry.path().extension() != ".log") {
                    fs::remove(entry.path());
                }
            }
            for (const auto& [name, text] : row.first) {
                WriteFile(kFolder / name, text);
            }
            taviro::LogSettings(taviro::LoadSettings());
        }
        // A UTF-8 mark: Windows, and the stand-in, do not see [Settings]; Wine skips the mark.
        WriteFile(kCustomFile, "\xEF\xBB\xBF[Settings]\r\niHandbrakeHotkey=0x47\r\n");
        marked = taviro::LoadSettings();
        taviro::LogSettings(marked);
    });
    for (const auto& row : rows) {
        for (const char* said : row.second) {
            EXPECT_NE(written.find(said), std::string::npos) << said << "\n" << written;
        }
    }
    EXPECT_EQ(written.find("IHANDBRAKEHOTKEY is no setting"), std::string::npos) << written;
    const char* mark =
        "TaviroCustom.ini starts with a UTF-8 byte-order mark, so Windows does not see its first "
        "line, [Settings], nor the keys under it";
#ifdef _WIN32
    EXPECT_EQ(marked.hotkey.value, 0x47u);  // what Wine does; Windows does as the stand-in
    EXPECT_EQ(written.find(mark), std::string::npos) << written;
#else
    EXPECT_EQ(marked.hotkey.value, 0u);
    EXPECT_NE(written.find(mark), std::string::npos) << written;
    EXPECT_EQ(written.find("TaviroCustom.ini has no [Settings] section, so"), std::string::npos);
#endif
    EXPECT_EQ(taviro::NearestKey("hotkey"), nullptr);
    EXPECT_STREQ(taviro::NearestKey("iHandbarkeHotkey"), "iHandbrakeHotkey");
}

// A section whose key names do not fit the first buffer the listing is asked with (the platform
// cuts the list and answers two short of the buffer) is listed whole: the mistake after the
// first 12,000 bytes of names is still named.
TEST_F(SettingsFiles, AListOfKeysLongerThanTheBufferIsListedWhole) {
    std::string text = "[Settings]\r\n";
    for (int i = 0; i < 2000; ++i) {
        text += "k" + std::to_string(10000 + i) + "=1\r\n";
    }
    WriteFile(kCustomFile, text + "iHandbrakeHotkee=0x47\r\n");
    const std::vector<std::string> names = taviro::IniNames("TaviroCustom", "Settings");
    ASSERT_EQ(names.size(), 2001u);
    EXPECT_EQ(names.back(), "iHandbrakeHotkee");
}

// --- The default file's life ---

TEST_F(SettingsFiles, MissingDefaultFileIsCreatedWithDefaultsAndNotRewritten) {
    Load();
    EXPECT_EQ(settings.defaultFile, taviro::FileState::Created);
    EXPECT_EQ(settings.hotkey.value, 0u);
    EXPECT_FALSE(settings.logging.value);
    const std::string created = FileText(kDefaultFile);
    EXPECT_EQ(SettingsIn(kDefaultFile),
              (Entries{{"Settings/bLogging", "0"}, {"Settings/iHandbrakeHotkey", "0x0"}}));
    EXPECT_FALSE(fs::exists(kCustomFile));

    Load();
    EXPECT_EQ(settings.hotkey.value, 0u);
    EXPECT_EQ(FileText(kDefaultFile), created);
}

// Created means both lines went in: a disk that takes the first and refuses the second has made
// no file a player can use, and the log says the defaults apply.
TEST_F(SettingsFiles, DefaultFileWithAWriteRefusedIsNotCreated) {
#ifdef _WIN32
    GTEST_SKIP() << "needs the stand-in to refuse one chosen write";
#else
    const std::string written = Logged([&] {
        winshim::RefuseProfileWrites(1, /*after=*/1);
        Load();
        winshim::RefuseProfileWrites(0);
        taviro::LogSettings(settings);
    });
    EXPECT_EQ(settings.defaultFile, taviro::FileState::NotCreated);
    EXPECT_EQ(SettingsIn(kDefaultFile), (Entries{{"Settings/bLogging", "0"}}));
    EXPECT_NE(written.find("Taviro.ini: missing, and it could not be created"), std::string::npos)
        << written;
#endif
}

TEST_F(SettingsFiles, DeletedDefaultFileIsCreatedAgain) {
    WriteFile(kDefaultFile, SettingsText("1", "0x20"));
    Load();
    EXPECT_EQ(settings.hotkey.value, 32u);

    fs::remove(kDefaultFile);
    Load();
    EXPECT_EQ(settings.hotkey.value, 0u);
    EXPECT_FALSE(settings.logging.value);
    EXPECT_EQ(SettingsIn(kDefaultFile).size(), 2u);

    fs::remove(kDefaultFile);
    WriteFile(kCustomFile, SettingsText(none, "0x41"));
    Load();
    EXPECT_EQ(settings.hotkey.value, 65u);
}

TEST_F(SettingsFiles, EmptyDefaultFileIsLeftEmpty) {
    WriteFile(kDefaultFile, "");
    Load();
    EXPECT_EQ(settings.hotkey.value, 0u);
    EXPECT_FALSE(settings.logging.value);
    EXPECT_EQ(fs::file_size(kDefaultFile), 0u);
}

TEST_F(SettingsFiles, FolderInPlaceOfDefaultFileCountsAsThereButGivesNothing) {
    fs::create_directory(kDefaultFile);
    WriteFile(kCustomFile, SettingsText(none, "0x41"));
    EXPECT_EQ(taviro::QueryIniFile("Taviro"), taviro::IniFileStatus::Unreadable);
    EXPECT_EQ(taviro::ReadIniString("Taviro", "Settings", "bLogging"), "");
    EXPECT_FALSE(taviro::WriteIniString("Taviro", "Settings", "bLogging", "0"));
    Load();
    EXPECT_EQ(settings.hotkey.value, 65u);
    EXPECT_EQ(settings.defaultFile, taviro::FileState::Unreadable);
    EXPECT_TRUE(fs::is_directory(kDefaultFile));
}

TEST_F(SettingsFiles, MissingPluginFolderCreatesNothing) {
    fs::remove_all("Data");
    fs::create_directory("Data");
    Load();
    EXPECT_EQ(settings.defaultFile, taviro::FileState::NotCreated);
    EXPECT_EQ(settings.hotkey.value, 0u);
    EXPECT_FALSE(settings.logging.value);
    EXPECT_TRUE(fs::is_empty("Data"));
    EXPECT_FALSE(taviro::WriteIniString("Taviro", "Settings", "bLogging", "0"));
    EXPECT_TRUE(fs::is_empty("Data"));
}

// --- File syntax as players write it ---

TEST_F(SettingsFiles, LineEndsBlanksAndCaseDoNotMatter) {
    for (const char* end : {"\r\n", "\n"}) {
        WriteFile(kDefaultFile, std::string("[settings]") + end + "  BLOGGING  =  1  " + end +
                                    "\tiHandbrakeHotkey\t=\t0x1B\t" + end);
        Load();
        EXPECT_TRUE(settings.logging.value) << "line end " << end;
        EXPECT_EQ(settings.hotkey.value, 27u) << "line end " << end;
    }
}

TEST_F(SettingsFiles, LongValueIsCutTo9999Characters) {
    WriteFile(kCustomFile, "[Settings]\r\nbLogging=" + std::string(12000, 'a') + "\r\n");
    EXPECT_EQ(taviro::ReadIniString("TaviroCustom", "Settings", "bLogging"),
              std::string(9999, 'a'));
}

// --- The access layer's guards and its read-back ---

TEST_F(SettingsFiles, EmptyNamesAndOverlongPathsTouchNoFile) {
    WriteFile(kDefaultFile, SettingsText("1", "0x20"));
    const std::string before = FileText(kDefaultFile);
    EXPECT_EQ(taviro::QueryIniFile(""), taviro::IniFileStatus::Missing);
    EXPECT_EQ(taviro::ReadIniString("", "Settings", "bLogging"), "");
    EXPECT_EQ(taviro::ReadIniString("Taviro", "", "bLogging"), "");
    EXPECT_EQ(taviro::ReadIniString("Taviro", "Settings", ""), "");
    EXPECT_FALSE(taviro::WriteIniString("", "Settings", "bLogging", "0"));
    EXPECT_FALSE(taviro::WriteIniString("Taviro", "", "bLogging", "0"));
    EXPECT_FALSE(taviro::WriteIniString("Taviro", "Settings", "", "0"));
    EXPECT_FALSE(taviro::WriteIniString(std::string("Tav\0iro", 7), "Settings", "k", "0"));
    // 20 + 231 + 4 = 255 characters: one more than the path buffer holds.
    EXPECT_FALSE(taviro::WriteIniString(std::string(231, 'x'), "Settings", "k", "0"));
    EXPECT_EQ(FileText(kDefaultFile), before);
    EXPECT_EQ(std::distance(fs::directory_iterator(kFolder), fs::directory_iterator()), 1);
}

TEST_F(SettingsFiles, WriteReportsWhetherTheValueReadsBack) {
    WriteFile(kDefaultFile, "[Other]\r\nkeep=this\r\n[Settings]\r\nbLogging=1\r\n");
    EXPECT_TRUE(taviro::WriteIniString("Taviro", "Settings", "bLogging", "0"));
    EXPECT_TRUE(taviro::WriteIniString("Taviro", "Settings", "iHandbrakeHotkey", ""));
    EXPECT_TRUE(taviro::WriteIniString("Taviro", "Added", "key", "v"));
    EXPECT_EQ(SettingsIn(kDefaultFile), (Entries{{"Other/keep", "this"},
                                                 {"Settings/bLogging", "0"},
                                                 {"Settings/iHandbrakeHotkey", ""},
                                                 {"Added/key", "v"}}));
    // Blanks around a value do not survive the file, so that value does not read back.
    EXPECT_FALSE(taviro::WriteIniString("Taviro", "Settings", "bLogging", "1 "));
}

TEST_F(SettingsFiles, ConcurrentWritersLoseNoKey) {
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < 25; ++i) {
                std::string key = "k";
                key += std::to_string(t * 100 + i);
                static_cast<void>(
                    taviro::WriteIniString("Taviro", "Settings", key, std::to_string(i)));
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    const Entries entries = SettingsIn(kDefaultFile);
    EXPECT_EQ(entries.size(), 100u);
    for (const auto& [key, value] : entries) {
        EXPECT_EQ(key.rfind("Settings/k", 0), 0u) << key;
    }
}

// Every name of the numbered families, F1 to F24 and Numpad0 to Numpad9, written where a code
// belongs, gets the hint with its code.
TEST_F(SettingsFiles, EveryNumberedKeyNameGetsItsHint) {
    std::vector<std::pair<std::string, unsigned>> names;
    for (unsigned n = 1; n <= 24; ++n) {
        names.push_back({"F" + std::to_string(n), 0x70 + n - 1});
    }
    for (unsigned n = 0; n <= 9; ++n) {
        names.push_back({"Numpad" + std::to_string(n), 0x60 + n});
    }
    const std::string written = Logged([&] {
        for (const auto& [name, code] : names) {
            WriteFile(kCustomFile, SettingsText(none, name));
            taviro::LogSettings(taviro::LoadSettings());
        }
    });
    for (const auto& [name, code] : names) {
        char hint[96];
        std::snprintf(hint, sizeof hint, "; if you meant the key %s, write iHandbrakeHotkey=0x%02X",
                      name.c_str(), code);
        const auto at = written.find(hint);
        ASSERT_NE(at, std::string::npos) << hint << "\n" << written;
        // The line ends there, or with the spaces that fill a page of the file.
        EXPECT_TRUE(written[at + std::strlen(hint)] == '\n' ||
                    written[at + std::strlen(hint)] == ' ')
            << hint;
    }
}

}  // namespace
