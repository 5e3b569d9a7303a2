// The plugin's settings, the handbrake hotkey, its optional modifier, whether it is held or
// toggled, and the logging switch, read from Data\SFSE\Plugins\Taviro.ini (created with defaults
// when missing) and then from the optional TaviroCustom.ini, whose values win key by key. The keys
// themselves are the table in SettingKeys.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "settings/SettingsDiagnostics.h"

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
    // There, but not to be read for now (another program holds it shut): the values an earlier
    // reading took from it stay in force.
    Held,
    Unreadable,  // there, but a folder, not a regular file, or not to be opened for reading
};

// One file in one reading: what became of it, and what the log has to tell of it besides.
struct FileReading {
    FileState state = FileState::Missing;
    unsigned long error = 0;   // Held, Unreadable: the system's error
    bool keptEarlier = false;  // Held: the values of an earlier reading of it stay in force
    bool heldBefore = false;   // Held: the reading before this one found it held too
    FileDiagnosis diagnosis;   // what the player probably got wrong in it
    bool operator==(FileState other) const { return state == other; }
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
    FileReading defaultFile;
    FileReading customFile;
    // Every non-empty value, in the order read; a held file's are those it gave earlier.
    std::vector<SettingsEntry> entries;

    FileReading& Of(SettingsSource file) {
        return file == SettingsSource::DefaultFile ? defaultFile : customFile;
    }
    const FileReading& Of(SettingsSource file) const {
        return file == SettingsSource::DefaultFile ? defaultFile : customFile;
    }
};

// Reads both files afresh, creating the default file when it is missing. Keeps no state and
// stores nothing: the caller decides what becomes of the settings. `earlier` is the reading in
// force, if any: a file held shut for now gives the values it gave there.
[[nodiscard]] Settings LoadSettings(const Settings* earlier = nullptr);

// Tells the log what a reading found: each file, with what the player probably got wrong in it,
// each value taken, each value refused and why (naming the key a player probably meant), and
// what is now in force.
void LogSettings(const Settings& settings);

}  // namespace taviro
