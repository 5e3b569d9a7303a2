// Paths between the plugin's texts and the file system. Settings paths are written the Windows
// way, with backslashes: on Windows they go to the file system as they are, elsewhere the
// separators become slashes. Paths the system hands over as wide text (the shell's folders) keep
// every character on both.
#pragma once

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>

namespace taviro::platform {

inline std::string NativeFilePath(std::string path) {
#ifndef _WIN32
    std::replace(path.begin(), path.end(), '\\', '/');
#endif
    return path;
}

// Wide text is UTF-16 on Windows and UTF-32 elsewhere; either way no character is lost, and
// nothing is thrown for text a narrow conversion could not take.
inline std::filesystem::path PathFromWide(const wchar_t* text) {
#ifdef _WIN32
    return std::filesystem::path(std::wstring(text));
#else
    std::u32string utf32;
    for (; *text != L'\0'; ++text) {
        utf32.push_back(static_cast<char32_t>(*text));
    }
    return std::filesystem::path(utf32);
#endif
}

// fopen for any path: on Windows through the wide name, so a user folder with characters
// outside the system's code page still opens.
inline std::FILE* OpenFile(const std::filesystem::path& path, const char* mode) {
#ifdef _WIN32
    std::wstring wideMode(mode, mode + std::char_traits<char>::length(mode));
    return _wfopen(path.c_str(), wideMode.c_str());
#else
    return std::fopen(path.c_str(), mode);
#endif
}

}  // namespace taviro::platform
