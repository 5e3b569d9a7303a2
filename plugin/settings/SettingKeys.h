// The settings files and the keys they hold, one row a key: its name, what a new Taviro.ini
// holds for it, which files may set it, how its text is read and refused, how the log tells a
// player what became of a value, and where the hook finds the value in force. Adding a setting is
// a row here, its reading and wording functions, and the value's place in what the hook reads.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "hook/ControlState.h"
#include "settings/Settings.h"

namespace taviro {

// The two files, in the order they are read: the custom file's values win key by key.
struct SettingsFile {
    SettingsSource source;
    const char* stem;  // the path is .\Data\SFSE\Plugins\ + stem + .ini
    const char* name;  // as the log and the player name it
};
inline constexpr SettingsFile kSettingsFiles[] = {
    {SettingsSource::DefaultFile, "Taviro", "Taviro.ini"},
    {SettingsSource::CustomFile, "TaviroCustom", "TaviroCustom.ini"},
};
inline constexpr char kSettingsSection[] = "Settings";

// The file's name as the log gives it, or "the built-in default".
const char* SourceName(SettingsSource source);

// The settings in force as the hook reads them, put together key by key and then stored as the
// words of ControlState.
struct PublishedSettings {
    HotkeyBinding hotkey;
    bool logging = false;
};

// Which files a key may be set in.
enum class SettingFiles : std::uint8_t { Either, CustomOnly };

struct SettingKey {
    const char* name;     // as a file spells it, under [Settings]
    const char* newFile;  // the text a new Taviro.ini holds, or null: documented, not written
    SettingFiles files;
    // The value a non-empty text gives, or why it is refused and earlier files' value stays.
    ValueReading (*read)(std::string_view text);
    // The log's line for a value a file gave.
    void (*describe)(const SettingKey& key, const SettingsEntry& entry);
    SettingValue Settings::*value;  // where a taken value goes
    void (*publish)(std::uint32_t value, PublishedSettings& out);
};

// Every key Taviro knows, in the order a file's values are read and logged.
std::span<const SettingKey> SettingKeys();

// How each kind of text is read: only "1" turns a switch on; a key code is hexadecimal, with or
// without 0x, from 0x01 to 0xFE.
ValueReading ReadSwitch(std::string_view text);
ValueReading ReadKeyCode(std::string_view text);

// A binding as a player says it: "Shift + G", "LB + A (controller)"; a modifier of 0 is none.
std::string BindingText(std::uint32_t modifier, std::uint32_t key);

}  // namespace taviro
