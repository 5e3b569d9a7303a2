#include "settings/Settings.h"

#include <cstdio>
#include <iterator>
#include <string>

#include "hook/VehicleUpdateHook.h"
#include "input/GamepadReader.h"
#include "input/KeyNames.h"
#include "log/Log.h"
#include "log/LogText.h"
#include "settings/IniFile.h"
#include "util/HexText.h"

namespace taviro {

namespace {

// A key code the file gives: the hotkey or its modifier.
void ApplyKeyCode(const char* stem, const char* key, SettingsSource source, std::uint32_t& code,
                  SettingsSource& from, Settings& settings) {
    std::string text = ReadIniString(stem, kSettingsSection, key);
    if (text.empty()) {
        return;
    }
    const HotkeyText read = ReadHotkeyText(text);
    if (read.verdict == ValueVerdict::Taken) {
        code = read.value;
        from = source;
    }
    settings.entries.push_back({source, key, std::move(text), read.verdict, read.value});
}

// Only keys the file actually gives change anything, so the custom file overrides the default
// file key by key.
void ApplyFile(const char* stem, SettingsSource source, Settings& settings) {
    std::string logging = ReadIniString(stem, kSettingsSection, kLoggingKey);
    if (!logging.empty()) {
        settings.logging = logging == "1";
        settings.loggingFrom = source;
        settings.entries.push_back(
            {source, kLoggingKey, std::move(logging), ValueVerdict::Taken, settings.logging});
    }
    ApplyKeyCode(stem, kHotkeyKey, source, settings.hotkeyCode, settings.hotkeyFrom, settings);
    ApplyKeyCode(stem, kModifierKey, source, settings.modifierCode, settings.modifierFrom,
                 settings);
}

// A file that is there but cannot be read gives nothing; the caller decides what a missing one
// means.
FileState ReadSettingsFile(const char* stem, IniFileStatus status, SettingsSource source,
                           Settings& settings) {
    if (status == IniFileStatus::Unreadable) {
        return FileState::Unreadable;
    }
    ApplyFile(stem, source, settings);
    return FileState::Read;
}

const char* FileName(SettingsSource source) {
    return source == SettingsSource::DefaultFile  ? "Taviro.ini"
           : source == SettingsSource::CustomFile ? "TaviroCustom.ini"
                                                  : "the built-in default";
}

void LogFile(SettingsSource source, FileState state) {
    const char* name = FileName(source);
    switch (state) {
        case FileState::Missing:
            log::Info(
                "%s: not there (optional: your own settings go there and win over "
                "Taviro.ini)",
                name);
            break;
        case FileState::Read:
            log::Info("%s: read", name);
            break;
        case FileState::Created:
            log::Info(
                "%s: missing, so created with the defaults (bLogging=0, "
                "iHandbrakeHotkey=0x0)",
                name);
            break;
        case FileState::NotCreated:
            log::Error(
                "%s: missing, and it could not be created (is Data\\SFSE\\Plugins "
                "there and writable?); the defaults apply",
                name);
            break;
        case FileState::Unreadable:
            log::Error(
                "%s: there, but it cannot be read (a folder, not a regular file, or "
                "locked by another program); its values are not used",
                name);
            break;
    }
}

// A value as the player wrote it, cut after a whole character where it would flood the log. The
// log escapes what is not printable.
std::string Quoted(const std::string& text) {
    constexpr std::size_t kShown = 40;
    return "\"" +
           (text.size() > kShown ? text.substr(0, log::WholeCharacters(text, kShown)) + "..."
                                 : text) +
           "\"";
}

std::string Hex(std::uint32_t code) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%02X", static_cast<unsigned>(code));
    return hex;
}

// A code as a value line gives it: "G (0x47)", "LB (controller, 0xC8)", or the code alone.
std::string KeyText(std::uint32_t code) {
    const char* name = KeyName(code);
    if (name == nullptr) {
        return Hex(code);
    }
    return std::string(name) + (gamepad::IsPadCode(code) ? " (controller, " : " (") + Hex(code) +
           ")";
}

// The hotkey as a player says it: "Shift + G", "LB + A (controller)", "Shift + A (controller)".
std::string BindingText(std::uint32_t modifier, std::uint32_t key) {
    std::string text;
    const std::uint32_t parts[] = {modifier, key};
    for (std::size_t i = 0; i < std::size(parts); ++i) {
        const std::uint32_t code = parts[i];
        if (code == 0) {
            continue;
        }
        const char* name = KeyName(code);
        text += (text.empty() ? "" : " + ") + (name != nullptr ? std::string(name) : Hex(code));
        const bool nextIsPad = i + 1 < std::size(parts) && gamepad::IsPadCode(parts[i + 1]);
        if (gamepad::IsPadCode(code) && !nextIsPad) {
            text += " (controller)";
        }
    }
    return text;
}

// Where the text is a key's name, the code that key has: what the player probably meant.
std::string MeantKey(const char* key, const std::string& text, std::uint32_t readAs, bool taken) {
    const auto named = KeyCodeByName(text);
    if (!named || (taken && *named == readAs)) {
        return {};
    }
    char hint[160];
    std::snprintf(hint, sizeof hint, "; if you meant %s %s, write %s=0x%02X",
                  gamepad::IsPadCode(*named) ? "the controller's" : "the key", text.c_str(), key,
                  static_cast<unsigned>(*named));
    return hint;
}

void LogEntry(const SettingsEntry& entry) {
    const char* file = FileName(entry.file);
    const std::string text = Quoted(entry.text);
    if (entry.key == std::string_view(kLoggingKey)) {
        log::Info("%s: %s=%s: decision trace %s", file, entry.key, text.c_str(),
                  entry.value != 0 ? "on" : "off (only \"1\" turns it on)");
        return;
    }
    const bool modifier = entry.key == std::string_view(kModifierKey);
    const std::string meant =
        MeantKey(entry.key, entry.text, entry.value, entry.verdict == ValueVerdict::Taken);
    switch (entry.verdict) {
        case ValueVerdict::Taken:
            log::Info("%s: %s=%s: %s %s%s", file, entry.key, text.c_str(),
                      modifier ? "modifier" : "hotkey", KeyText(entry.value).c_str(),
                      meant.c_str());
            break;
        case ValueVerdict::NotHexadecimal:
            log::Error("%s: %s=%s refused: not a hexadecimal number%s", file, entry.key,
                       text.c_str(), meant.c_str());
            break;
        case ValueVerdict::TooLarge:
            log::Error("%s: %s=%s refused: more than 32 bits", file, entry.key, text.c_str());
            break;
        case ValueVerdict::OutOfRange:
            if (entry.value == 0) {
                log::Info(
                    "%s: %s=%s: no %s from this file (0 cannot switch off a key set "
                    "earlier)",
                    file, entry.key, text.c_str(), modifier ? "modifier" : "hotkey");
            } else {
                log::Error("%s: %s=%s refused: 0x%X is not a key code (0x01 to 0xFE)%s", file,
                           entry.key, text.c_str(), static_cast<unsigned>(entry.value),
                           meant.c_str());
            }
            break;
    }
}

// The summary's hotkey: the key and its modifier in a player's words, and where they came from.
std::string HotkeyInForce(const Settings& s) {
    if (s.hotkeyCode == 0) {
        std::string none = std::string("no hotkey, from ") + FileName(s.hotkeyFrom);
        if (s.modifierCode != 0) {
            none += " (the modifier " + BindingText(0, s.modifierCode) + " waits for one)";
        }
        return none;
    }
    const std::string text = "hotkey " + BindingText(s.modifierCode, s.hotkeyCode) + ", ";
    if (s.modifierCode == 0 || s.modifierFrom == s.hotkeyFrom) {
        return text + "from " + FileName(s.hotkeyFrom);
    }
    return text + "the key from " + FileName(s.hotkeyFrom) + " and the modifier from " +
           FileName(s.modifierFrom);
}

}  // namespace

void LogSettings(const Settings& settings) {
    LogFile(SettingsSource::DefaultFile, settings.defaultFile);
    LogFile(SettingsSource::CustomFile, settings.customFile);
    for (const SettingsEntry& entry : settings.entries) {
        LogEntry(entry);
    }
    // Written once the settings are published: the frames the hook has not begun yet see them,
    // which lets a reader of the log place the change on its frames.
    log::Info("settings in force: %s; decision trace %s, from %s; from frame=%llu on",
              HotkeyInForce(settings).c_str(), settings.logging ? "on" : "off",
              FileName(settings.loggingFrom), static_cast<unsigned long long>(HookCallCount() + 1));
}

HotkeyText ReadHotkeyText(std::string_view text) {
    HexError error = HexError::None;
    const auto value = ParseHex32(text, &error);
    if (error == HexError::NoDigits) {
        return {ValueVerdict::NotHexadecimal, 0};
    }
    if (error == HexError::TooLarge) {
        return {ValueVerdict::TooLarge, 0};
    }
    // 0 would mean "no hotkey" and 255 is no key; wrapping makes 0 fail the one test too.
    return {*value - 1u > 253u ? ValueVerdict::OutOfRange : ValueVerdict::Taken, *value};
}

Settings LoadSettings() {
    Settings settings;
    const IniFileStatus defaultFile = QueryIniFile(kDefaultSettingsStem);
    if (defaultFile != IniFileStatus::Missing) {
        settings.defaultFile = ReadSettingsFile(kDefaultSettingsStem, defaultFile,
                                                SettingsSource::DefaultFile, settings);
    } else {
        // Written for the player to find and edit, not read back: the defaults are already in
        // `settings`. A folder that cannot take the file is no reason to stop.
        const bool logging =
            WriteIniString(kDefaultSettingsStem, kSettingsSection, kLoggingKey, "0");
        const bool hotkey =
            WriteIniString(kDefaultSettingsStem, kSettingsSection, kHotkeyKey, "0x0");
        settings.defaultFile = logging && hotkey ? FileState::Created : FileState::NotCreated;
    }
    const IniFileStatus customFile = QueryIniFile(kCustomSettingsStem);
    if (customFile != IniFileStatus::Missing) {
        settings.customFile =
            ReadSettingsFile(kCustomSettingsStem, customFile, SettingsSource::CustomFile, settings);
    }
    return settings;
}

}  // namespace taviro
