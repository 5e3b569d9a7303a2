#include "util/HexText.h"

namespace taviro {

namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

// Written out rather than handed to strtoul: unsigned long is 32 bits on Windows and 64 bits on
// Linux, so "0x100000000" would be rejected by one build and accepted by the other.
std::optional<std::uint32_t> ParseHex32(std::string_view text, HexError* error) {
    std::size_t i = 0;
    while (i < text.size() && IsSpace(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // The prefix only counts when a digit follows it. With none, the Windows runtime reports no
    // conversion at all, not the 0 in front of the x; that is the reading followed here.
    if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        i += 2;
    }

    std::uint64_t value = 0;
    bool anyDigit = false;
    bool overflow = false;
    for (; i < text.size(); ++i) {
        const int digit = HexDigit(text[i]);
        if (digit < 0) {
            break;
        }
        anyDigit = true;
        // Keep consuming after an overflow so that the result does not depend on where it hit.
        if (!overflow) {
            value = value * 16 + static_cast<std::uint64_t>(digit);
            overflow = value > 0xFFFFFFFFu;
        }
    }
    const HexError outcome = !anyDigit  ? HexError::NoDigits
                             : overflow ? HexError::TooLarge
                                        : HexError::None;
    if (error != nullptr) {
        *error = outcome;
    }
    if (outcome != HexError::None) {
        return std::nullopt;
    }
    auto result = static_cast<std::uint32_t>(value);
    if (negative) {
        result = 0u - result;
    }
    return result;
}

}  // namespace taviro
