#include "log/LogText.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace taviro::log {

namespace {

constexpr char kCut[] = "...";

// One character of `text` from `at`: its code point and length, or, for a byte that starts no
// well-formed UTF-8 sequence (overlong, a surrogate, past U+10FFFF, cut short), that byte alone
// with code point -1.
struct Character {
    std::int32_t codePoint;
    std::size_t length;
};

Character Decode(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) {
        return at + i < text.size() ? static_cast<std::uint8_t>(text[at + i]) : 0u;
    };
    const auto continuation = [&](std::size_t i, unsigned low = 0x80, unsigned high = 0xBF) {
        const unsigned b = byte(i);
        return at + i < text.size() && b >= low && b <= high;
    };
    const unsigned first = byte(0);
    if (first < 0x80) {
        return {static_cast<std::int32_t>(first), 1};
    }
    if (first >= 0xC2 && first <= 0xDF && continuation(1)) {
        return {static_cast<std::int32_t>(((first & 0x1F) << 6) | (byte(1) & 0x3F)), 2};
    }
    if (first >= 0xE0 && first <= 0xEF) {
        const unsigned low = first == 0xE0 ? 0xA0 : 0x80;
        const unsigned high = first == 0xED ? 0x9F : 0xBF;
        if (continuation(1, low, high) && continuation(2)) {
            return {static_cast<std::int32_t>(((first & 0x0F) << 12) | ((byte(1) & 0x3F) << 6) |
                                              (byte(2) & 0x3F)),
                    3};
        }
    }
    if (first >= 0xF0 && first <= 0xF4) {
        const unsigned low = first == 0xF0 ? 0x90 : 0x80;
        const unsigned high = first == 0xF4 ? 0x8F : 0xBF;
        if (continuation(1, low, high) && continuation(2) && continuation(3)) {
            return {static_cast<std::int32_t>(((first & 0x07) << 18) | ((byte(1) & 0x3F) << 12) |
                                              ((byte(2) & 0x3F) << 6) | (byte(3) & 0x3F)),
                    4};
        }
    }
    return {-1, 1};
}

// Characters some reader takes for a line break, a terminal command or a change of direction.
bool Unprintable(std::int32_t c) {
    return (c >= 0x80 && c <= 0x9F) || c == 0x2028 || c == 0x2029 || c == 0x061C || c == 0x200E ||
           c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) ||
           c == 0xFEFF;
}

// "\\x" or "\\u" and `digits` hexadecimal digits of `value`, into `piece`; their length.
std::size_t Escape(char kind, std::uint32_t value, std::size_t digits, char* piece) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    piece[0] = '\\';
    piece[1] = kind;
    for (std::size_t i = 0; i < digits; ++i) {
        piece[2 + i] = kHex[(value >> (4 * (digits - 1 - i))) & 0xF];
    }
    return 2 + digits;
}

// The character as the log shows it, into `piece` (at least 6 bytes); its length.
std::size_t Shown(std::string_view text, std::size_t at, const Character& c, char* piece) {
    if (c.codePoint < 0x20 || c.codePoint == 0x7F) {  // a control, or a byte that is not UTF-8
        return Escape('x', static_cast<std::uint8_t>(text[at]), 2, piece);
    }
    if (Unprintable(c.codePoint)) {
        return Escape('u', static_cast<std::uint32_t>(c.codePoint), 4, piece);
    }
    std::memcpy(piece, text.data() + at, c.length);
    return c.length;
}

// Writes as much of the escaped text as fits in `room` bytes of `out` (null: only counts). The
// length it takes, and in `whole` whether all of it did fit.
std::size_t EscapeInto(std::string_view text, char* out, std::size_t room, bool& whole) {
    std::size_t length = 0;
    char piece[8];
    for (std::size_t at = 0; at < text.size();) {
        const Character c = Decode(text, at);
        const std::size_t n = Shown(text, at, c, piece);
        if (length + n > room) {
            whole = false;
            return length;
        }
        if (out != nullptr) {
            std::memcpy(out + length, piece, n);
        }
        length += n;
        at += c.length;
    }
    whole = true;
    return length;
}

}  // namespace

std::size_t EscapeText(std::string_view text, char* out, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    bool whole = false;
    std::size_t length = EscapeInto(text, out, size - 1, whole);
    if (!whole) {
        const std::size_t room = size - 1 >= sizeof kCut - 1 ? size - sizeof kCut : 0;
        length = EscapeInto(text, out, room, whole);
        const std::size_t marker = std::min(sizeof kCut - 1, size - 1 - length);
        std::memcpy(out + length, kCut, marker);
        length += marker;
    }
    out[length] = '\0';
    return length;
}

std::size_t WholeCharacters(std::string_view text, std::size_t limit) {
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t next = at + Decode(text, at).length;
        if (next > limit) {
            break;
        }
        at = next;
    }
    return at;
}

}  // namespace taviro::log
