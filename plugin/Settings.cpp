#include "Settings.h"

#include "HexText.h"
#include "IniFile.h"

namespace taviro {

namespace {

// Only keys the file actually gives change anything, so the custom file overrides the default
// file key by key.
void ApplyFile(const char* stem, SettingsSource source, Settings& settings) {
    std::string logging = ReadIniString(stem, kSettingsSection, kLoggingKey, "");
    if (!logging.empty()) {
        settings.logging = logging == "1";
        settings.loggingFrom = source;
        settings.entries.push_back(
            {source, kLoggingKey, std::move(logging), ValueVerdict::Taken, settings.logging});
    }
    std::string hotkey = ReadIniString(stem, kSettingsSection, kHotkeyKey, "");
    if (!hotkey.empty()) {
        ValueVerdict verdict = ValueVerdict::Taken;
        const auto code = HotkeyFromText(hotkey, &verdict);
        if (code) {
            settings.hotkeyCode = *code;
            settings.hotkeyFrom = source;
        }
        const std::uint32_t read = ParseHex32(hotkey).value_or(0);
        settings.entries.push_back({source, kHotkeyKey, std::move(hotkey), verdict, read});
    }
}

FileState ReadFile(const char* stem, SettingsSource source, Settings& settings) {
    switch (QueryIniFile(stem, "")) {
        case IniFileStatus::Missing:
            return FileState::Missing;
        case IniFileStatus::Unreadable:
            return FileState::Unreadable;
        case IniFileStatus::Readable:
            break;
    }
    ApplyFile(stem, source, settings);
    return FileState::Read;
}

}  // namespace

std::optional<std::uint32_t> HotkeyFromText(std::string_view text, ValueVerdict* verdict) {
    HexError error = HexError::None;
    const auto value = ParseHex32(text, &error);
    ValueVerdict outcome = ValueVerdict::Taken;
    if (error == HexError::NoDigits) {
        outcome = ValueVerdict::NotHexadecimal;
    } else if (error == HexError::TooLarge) {
        outcome = ValueVerdict::TooLarge;
    } else if (*value - 1u > 253u) {
        // 0 would mean "no hotkey" and 255 is no key; wrapping makes 0 fail the one test too.
        outcome = ValueVerdict::OutOfRange;
    }
    if (verdict != nullptr) {
        *verdict = outcome;
    }
    return outcome == ValueVerdict::Taken ? value : std::nullopt;
}

Settings LoadSettings() {
    Settings settings;
    if (IniFileExists(kDefaultSettingsStem, "")) {
        settings.defaultFile =
            ReadFile(kDefaultSettingsStem, SettingsSource::DefaultFile, settings);
    } else {
        // Written for the player to find and edit, not read back: the defaults are already in
        // `settings`. A folder that cannot take the file is no reason to stop.
        const bool logging =
            WriteIniString(kDefaultSettingsStem, kSettingsSection, kLoggingKey, "0", "");
        const bool hotkey =
            WriteIniString(kDefaultSettingsStem, kSettingsSection, kHotkeyKey, "0x0", "");
        settings.defaultFile = logging && hotkey ? FileState::Created : FileState::NotCreated;
    }
    if (IniFileExists(kCustomSettingsStem, "")) {
        settings.customFile = ReadFile(kCustomSettingsStem, SettingsSource::CustomFile, settings);
    }
    return settings;
}

}  // namespace taviro
