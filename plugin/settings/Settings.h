// The plugin's settings, the handbrake hotkey, its optional modifier, whether it is held or
// toggled, and the logging switch, read from Data\SFSE\Plugins\Taviro.ini (created with defaults
// when missing) and then from the optional TaviroCustom.ini, whose values win key by key. The keys
// themselves are the table in SettingKeys.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace taviro {

enum class SettingsSource : std::uint8_t { BuiltIn, DefaultFile, CustomFile };

// What became of one non-empty value a file gave.
enum class ValueVerdict : std::uint8_t {
    Taken,
    NotHexadecimal,  // no hexadecimal digit where the number should start
    TooLarge,        // more than 32 bits of digits
    OutOfRange,      // 0 ("no hotkey") or above 0xFE: not a key the earlier value gives way to
};

// What a value's text reads as: `value` is what the text gives where it reads as a number at
// all, else 0; only a Taken value is put in force.
struct ValueReading {
    ValueVerdict verdict;
    std::uint32_t value;
};

// What became of one settings file in this reading.
enum class FileState : std::uint8_t {
    Missing,     // not there (the custom file needs not be)
    Read,        // read; missing keys count as empty
    Created,     // the default file was missing and has been written with the defaults
    NotCreated,  // the default file was missing and could not be written
    Unreadable,  // there, but a folder, not a regular file, or not to be opened for reading
};

// A setting's value after a reading, and the file it came from.
struct SettingValue {
    std::uint32_t value = 0;
    SettingsSource from = SettingsSource::BuiltIn;
};

struct SettingKey;

struct SettingsEntry {
    SettingsSource file;
    const SettingKey* key;
    std::string text;
    ValueVerdict verdict;
    std::uint32_t value;  // what the text reads as, where it reads as a number
};

// The settings one reading found, and how it came by them.
struct Settings {
    SettingValue hotkey;    // iHandbrakeHotkey: a key code, 0 for none
    SettingValue modifier;  // iHandbrakeHotkeyModifier: 0 for none, the hotkey alone counts
    SettingValue toggle;    // bHandbrakeHotkeyToggle: 1 makes a press toggle, else it is held
    SettingValue logging;   // bLogging: 1 turns the decision trace on
    FileState defaultFile = FileState::Missing;
    FileState customFile = FileState::Missing;
    std::vector<SettingsEntry> entries;  // every non-empty value, in the order read
};

// Reads both files afresh, creating the default file when it is missing. Keeps no state and
// stores nothing: the caller decides what becomes of the settings.
[[nodiscard]] Settings LoadSettings();

// Tells the log what a reading found: each file, each value taken, each value refused and why
// (naming the key a player probably meant), and what is now in force.
void LogSettings(const Settings& settings);

}  // namespace taviro
