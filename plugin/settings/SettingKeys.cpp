#include "settings/SettingKeys.h"

#include <cstdio>
#include <iterator>

#include "input/GamepadReader.h"
#include "input/KeyNames.h"
#include "log/Log.h"
#include "log/LogText.h"
#include "util/HexText.h"

namespace taviro {

namespace {

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

void DescribeLogging(const SettingKey& key, const SettingsEntry& entry) {
    log::Info("%s: %s=%s: decision trace %s", SourceName(entry.file), key.name,
              Quoted(entry.text).c_str(), entry.value != 0 ? "on" : "off (only \"1\" turns it on)");
}

void DescribeToggle(const SettingKey& key, const SettingsEntry& entry) {
    log::Info("%s: %s=%s: %s", SourceName(entry.file), key.name, Quoted(entry.text).c_str(),
              entry.value != 0 ? "a toggle: press the hotkey to engage and press again to release"
                               : "hold the hotkey to engage (only \"1\" makes it a toggle)");
}

// The hotkey and its modifier share their rule and their words.
void DescribeKeyCode(const SettingKey& key, const SettingsEntry& entry, const char* what) {
    const char* file = SourceName(entry.file);
    const std::string text = Quoted(entry.text);
    const std::string meant =
        MeantKey(key.name, entry.text, entry.value, entry.verdict == ValueVerdict::Taken);
    switch (entry.verdict) {
        case ValueVerdict::Taken:
            log::Info("%s: %s=%s: %s %s%s", file, key.name, text.c_str(), what,
                      KeyText(entry.value).c_str(), meant.c_str());
            break;
        case ValueVerdict::NotHexadecimal:
            log::Error("%s: %s=%s refused: not a hexadecimal number%s", file, key.name,
                       text.c_str(), meant.c_str());
            break;
        case ValueVerdict::TooLarge:
            log::Error("%s: %s=%s refused: more than 32 bits", file, key.name, text.c_str());
            break;
        case ValueVerdict::OutOfRange:
            if (entry.value == 0) {
                log::Info(
                    "%s: %s=%s: no %s from this file (0 cannot switch off a key set "
                    "earlier)",
                    file, key.name, text.c_str(), what);
            } else {
                log::Error("%s: %s=%s refused: 0x%X is not a key code (0x01 to 0xFE)%s", file,
                           key.name, text.c_str(), static_cast<unsigned>(entry.value),
                           meant.c_str());
            }
            break;
    }
}
void DescribeHotkey(const SettingKey& key, const SettingsEntry& entry) {
    DescribeKeyCode(key, entry, "hotkey");
}
void DescribeModifier(const SettingKey& key, const SettingsEntry& entry) {
    DescribeKeyCode(key, entry, "modifier");
}

void PublishLogging(std::uint32_t value, PublishedSettings& out) {
    out.logging = value != 0;
}
void PublishHotkey(std::uint32_t value, PublishedSettings& out) {
    out.hotkey.key = static_cast<std::uint8_t>(value);
}
void PublishModifier(std::uint32_t value, PublishedSettings& out) {
    out.hotkey.modifier = static_cast<std::uint8_t>(value);
}
void PublishToggle(std::uint32_t value, PublishedSettings& out) {
    out.hotkey.toggle = value != 0;
}

constexpr SettingKey kKeys[] = {
    // name, in a new Taviro.ini, set by, read as, described as, kept in, published as
    {"bLogging", "0", SettingFiles::Either, &ReadSwitch, &DescribeLogging, &Settings::logging,
     &PublishLogging},
    {"iHandbrakeHotkey", "0x0", SettingFiles::Either, &ReadKeyCode, &DescribeHotkey,
     &Settings::hotkey, &PublishHotkey},
    {"iHandbrakeHotkeyModifier", nullptr, SettingFiles::Either, &ReadKeyCode, &DescribeModifier,
     &Settings::modifier, &PublishModifier},
    {"bHandbrakeHotkeyToggle", nullptr, SettingFiles::Either, &ReadSwitch, &DescribeToggle,
     &Settings::toggle, &PublishToggle},
};

}  // namespace

std::span<const SettingKey> SettingKeys() {
    return kKeys;
}

const char* SourceName(SettingsSource source) {
    for (const SettingsFile& file : kSettingsFiles) {
        if (file.source == source) {
            return file.name;
        }
    }
    return "the built-in default";
}

ValueReading ReadSwitch(std::string_view text) {
    return {ValueVerdict::Taken, text == "1" ? 1u : 0u};
}

ValueReading ReadKeyCode(std::string_view text) {
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

}  // namespace taviro
