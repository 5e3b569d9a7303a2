#include "plugin/Settings.h"

#include <string>

#include "plugin/ControlState.h"
#include "plugin/HexText.h"
#include "plugin/IniFile.h"

namespace taviro {

namespace {

constexpr char kDefaultStem[] = "Taviro";
constexpr char kCustomStem[] = "TaviroCustom";
constexpr char kSection[] = "Settings";
constexpr char kLoggingKey[] = "bLogging";
constexpr char kHotkeyKey[] = "iHandbrakeHotkey";

struct Values {
    std::uint32_t hotkeyCode = 0;
    bool logging = false;
};

// Only keys the file actually gives change anything, so the custom file overrides the default
// file key by key.
void ApplyFile(const std::string& stem, Values& values) {
    const std::string logging = ReadIniString(stem, kSection, kLoggingKey, "");
    if (!logging.empty()) {
        values.logging = logging == "1";
    }
    const std::string hotkey = ReadIniString(stem, kSection, kHotkeyKey, "");
    if (!hotkey.empty()) {
        if (const auto code = HotkeyFromText(hotkey)) {
            values.hotkeyCode = *code;
        }
    }
}

}  // namespace

std::optional<std::uint32_t> HotkeyFromText(std::string_view text) {
    const auto value = ParseHex32(text);
    // 0 would mean "no hotkey" and 255 is no key; wrapping makes 0 fail the one test too.
    if (!value || *value - 1u > 253u) {
        return std::nullopt;
    }
    return value;
}

void LoadSettings() {
    Values values;
    if (IniFileExists(kDefaultStem, "")) {
        ApplyFile(kDefaultStem, values);
    } else {
        // Written for the player to find and edit, not read back: the defaults are already in
        // `values`. A folder that cannot take the file is no reason to stop.
        WriteIniString(kDefaultStem, kSection, kLoggingKey, "0", "");
        WriteIniString(kDefaultStem, kSection, kHotkeyKey, "0x0", "");
    }
    if (IniFileExists(kCustomStem, "")) {
        ApplyFile(kCustomStem, values);
    }
    // Stored once, at the end, so that nobody sees the 0 the computation starts from.
    controlState.hotkeyCode = values.hotkeyCode;
    controlState.loggingEnabled = values.logging;
}

}  // namespace taviro
