// The plugin's settings, the handbrake hotkey, its optional modifier and the logging switch, read
// from Data\SFSE\Plugins\Taviro.ini (created with defaults when missing) and then from the
// optional TaviroCustom.ini, whose values win key by key.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace taviro {

inline constexpr char kDefaultSettingsStem[] = "Taviro";
inline constexpr char kCustomSettingsStem[] = "TaviroCustom";
inline constexpr char kSettingsSection[] = "Settings";
inline constexpr char kLoggingKey[] = "bLogging";
inline constexpr char kHotkeyKey[] = "iHandbrakeHotkey";
// Documented for players, never written into the default file: a key or controller button that
// must be held too for the hotkey to count.
inline constexpr char kModifierKey[] = "iHandbrakeHotkeyModifier";

enum class SettingsSource : std::uint8_t { BuiltIn, DefaultFile, CustomFile };

// What became of one non-empty value a file gave.
enum class ValueVerdict : std::uint8_t {
    Taken,
    NotHexadecimal,  // no hexadecimal digit where the number should start
    TooLarge,        // more than 32 bits of digits
    OutOfRange,      // 0 ("no hotkey") or above 0xFE: not a key the earlier value gives way to
};

// What became of one settings file in this reading.
enum class FileState : std::uint8_t {
    Missing,     // not there (the custom file needs not be)
    Read,        // read; missing keys count as empty
    Created,     // the default file was missing and has been written with the defaults
    NotCreated,  // the default file was missing and could not be written
    Unreadable,  // there, but a folder, not a regular file, or not to be opened for reading
};

struct SettingsEntry {
    SettingsSource file;
    const char* key;  // kLoggingKey, kHotkeyKey or kModifierKey
    std::string text;
    ValueVerdict verdict;
    std::uint32_t value;  // what the text reads as, where it reads as a number
};

// The settings one reading found, and how it came by them.
struct Settings {
    std::uint32_t hotkeyCode = 0;    // 0: no hotkey
    std::uint32_t modifierCode = 0;  // 0: none; the hotkey alone counts
    bool logging = false;
    SettingsSource hotkeyFrom = SettingsSource::BuiltIn;
    SettingsSource modifierFrom = SettingsSource::BuiltIn;
    SettingsSource loggingFrom = SettingsSource::BuiltIn;
    FileState defaultFile = FileState::Missing;
    FileState customFile = FileState::Missing;
    std::vector<SettingsEntry> entries;  // every non-empty value, in the order read
};

// What an iHandbrakeHotkey or iHandbrakeHotkeyModifier text gives. A key is hexadecimal, with or
// without 0x, and only 1 to 254; anything else is not Taken and leaves the earlier setting in
// force. `value` is what the text reads as, where it reads as a number at all, else 0.
struct HotkeyText {
    ValueVerdict verdict;
    std::uint32_t value;
};
HotkeyText ReadHotkeyText(std::string_view text);

// Reads both files afresh, creating the default file when it is missing. Keeps no state and
// stores nothing: the caller decides what becomes of the settings.
Settings LoadSettings();

// Tells the log what a reading found: each file, each value taken, each value refused and why
// (naming the key a player probably meant), and what is now in force.
void LogSettings(const Settings& settings);

}  // namespace taviro
