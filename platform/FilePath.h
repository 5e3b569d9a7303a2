// Paths between the plugin's texts and the file system. Paths go to the system's wide file
// functions: UTF-16 text on Windows; elsewhere a wchar_t holds a whole code point, and the
// stand-ins hand the system UTF-8. Settings paths are written the Windows way, with backslashes:
// on Windows they go to the file system as they are, elsewhere the separators become slashes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

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

// Wide text as UTF-8, as the log shows it. A surrogate without its pair, and anything past
// U+10FFFF, becomes U+FFFD: what the system hands over may hold either.
inline std::string Utf8(std::wstring_view wide) {
    std::string text;
    text.reserve(wide.size());
    for (std::size_t i = 0; i < wide.size(); ++i) {
        auto c = static_cast<std::uint32_t>(wide[i]);
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
        const auto byte = [&text](std::uint32_t bits) { text += static_cast<char>(bits); };
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
    return text;
}

}  // namespace taviro::platform
