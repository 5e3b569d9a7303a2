// Base-16 reading and the hotkey rule on arbitrary text, checked against the C library's own
// strtoull where the two must agree.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "settings/SettingKeys.h"
#include "settings/Settings.h"
#include "util/HexText.h"

namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The reading of unsigned text: strtoull, less the one place where the Windows runtime differs
// from it (a 0x prefix with no digit after it converts nothing there).
std::optional<std::uint32_t> Reference(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && IsSpace(text[i])) {
        ++i;
    }
    if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
        (i + 2 >= text.size() || !IsHexDigit(text[i + 2]))) {
        return std::nullopt;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 16);
    if (end == text.c_str() || errno == ERANGE || value > 0xFFFFFFFFull) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

[[noreturn]] void Fail() {
    __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto value = taviro::ParseHex32(text);

    const auto hotkey = taviro::ReadKeyCode(text);
    const bool taken = hotkey.verdict == taviro::ValueVerdict::Taken;
    if (taken && (hotkey.value < 1 || hotkey.value > 254 || hotkey.value != value)) {
        Fail();
    }
    if (!taken && value && *value >= 1 && *value <= 254) {
        Fail();
    }
    if (hotkey.value != value.value_or(0)) {
        Fail();
    }

    std::size_t first = 0;
    while (first < text.size() && IsSpace(text[first])) {
        ++first;
    }
    const bool hasSign = first < text.size() && (text[first] == '+' || text[first] == '-');
    if (!hasSign) {
        // strtoull stops at a zero byte, as the text read from a file does.
        const std::string untilZero = text.substr(0, text.find('\0'));
        if (value != taviro::ParseHex32(untilZero) || value != Reference(untilZero)) {
            Fail();
        }
    } else if (first + 1 < text.size() && !IsSpace(text[first + 1]) && text[first + 1] != '+' &&
               text[first + 1] != '-') {
        // A sign changes nothing but the sign, in 32-bit arithmetic.
        std::string unsignedText = text;
        unsignedText.erase(first, 1);
        const auto magnitude = taviro::ParseHex32(unsignedText);
        if (magnitude.has_value() != value.has_value()) {
            Fail();
        }
        if (value && *value != (text[first] == '-' ? 0u - *magnitude : *magnitude)) {
            Fail();
        }
    }
    return 0;
}
