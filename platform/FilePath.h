// Paths between the plugin's texts and the file system. Paths go to the system's wide file
// functions: UTF-16 text on Windows; elsewhere a wchar_t holds a whole code point, and the
// stand-ins hand the system UTF-8. Settings paths are written the Windows way, with backslashes:
// on Windows they go to the file system as they are, elsewhere the separators become slashes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace taviro::platform {

// A path as the wide file functions take it.
using Path = std::wstring;

#ifdef _WIN32
inline constexpr wchar_t kSeparator = L'\\';
#else
inline constexpr wchar_t kSeparator = L'/';
#endif

template <class Char>
std::basic_string<Char> NativeFilePath(std::basic_string<Char> path) {
#ifndef _WIN32
    std::replace(path.begin(), path.end(), Char('\\'), Char('/'));
#endif
    return path;
}

// `folder` and `name` with one separator between them.
inline Path Join(Path folder, std::wstring_view name) {
    if (!folder.empty() && folder.back() != L'\\' && folder.back() != L'/') {
        folder += kSeparator;
    }
    folder += name;
    return folder;
}

// One code point as UTF-8, as it is: a surrogate too, for whoever must pass one through.
inline void AppendUtf8(std::string& text, char32_t c) {
    const auto byte = [&text](char32_t bits) { text += static_cast<char>(bits); };
    if (c < 0x80) {
        byte(c);
    } else if (c < 0x800) {
        byte(0xC0 | c >> 6);
        byte(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        byte(0xE0 | c >> 12);
        byte(0x80 | (c >> 6 & 0x3F));
        byte(0x80 | (c & 0x3F));
    } else {
        byte(0xF0 | c >> 18);
        byte(0x80 | (c >> 12 & 0x3F));
        byte(0x80 | (c >> 6 & 0x3F));
        byte(0x80 | (c & 0x3F));
    }
}

// Wide text as UTF-8, as the log shows it. A surrogate without its pair, and anything past
// U+10FFFF, becomes U+FFFD: what the system hands over may hold either.
inline std::string Utf8(std::wstring_view wide) {
    std::string text;
    text.reserve(wide.size());
    for (std::size_t i = 0; i < wide.size(); ++i) {
        auto c = static_cast<std::uint32_t>(static_cast<std::make_unsigned_t<wchar_t>>(wide[i]));
        if constexpr (sizeof(wchar_t) == 2) {
            c &= 0xFFFF;
            const bool high = c >= 0xD800 && c <= 0xDBFF;
            const std::uint32_t next =
                i + 1 < wide.size() ? static_cast<std::uint32_t>(wide[i + 1]) & 0xFFFF : 0;
            if (high && next >= 0xDC00 && next <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00);
                ++i;
            }
        }
        if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
            c = 0xFFFD;
        }
        AppendUtf8(text, static_cast<char32_t>(c));
    }
    return text;
}

// UTF-8 as wide text, as the system hands out names: a byte that starts no character, a form
// longer than needed, a surrogate or anything past U+10FFFF reads as U+FFFD, byte by byte.
inline std::wstring Wide(std::string_view utf8) {
    std::wstring wide;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        char32_t c = length == 1 ? lead : lead & (0x3Fu >> (length - 1));
        bool valid = (length == 1 || lead >= 0xC2) && lead <= 0xF4 && i + length <= utf8.size();
        for (std::size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(utf8[i + k]);
            valid = (next & 0xC0) == 0x80;
            c = (c << 6) | (next & 0x3Fu);
        }
        constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};  // shorter forms are invalid
        valid = valid && c >= kLeast[length] && c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
        if (!valid) {
            wide += L'\xFFFD';
        } else if (sizeof(wchar_t) == 2 && c >= 0x10000) {
            wide += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
            wide += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            wide += static_cast<wchar_t>(c);
        }
        i += valid ? length : 1;
    }
    return wide;
}

}  // namespace taviro::platform
