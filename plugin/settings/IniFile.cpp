#include "settings/IniFile.h"

#include <array>
#include <cstring>
#include <optional>
#include <vector>

#include "Win32.h"

namespace taviro {

namespace {

constexpr char kPluginFolder[] = ".\\Data\\SFSE\\Plugins\\";
constexpr std::size_t kPathBufferSize = 255;
constexpr DWORD kValueBufferSize = 10000;

using PathBuffer = std::array<char, kPathBufferSize>;

bool HasZeroByte(const std::string& text) {
    return text.find('\0') != std::string::npos;
}

// The path as the private-profile functions take it, zero-filled; nothing when it does not fit
// or when a zero byte inside a name would end it early.
std::optional<PathBuffer> BuildPath(const std::string& stem) {
    if (HasZeroByte(stem)) {
        return std::nullopt;
    }
    const std::string path = kPluginFolder + stem + ".ini";
    if (path.size() >= kPathBufferSize) {
        return std::nullopt;
    }
    PathBuffer buffer{};
    std::memcpy(buffer.data(), path.data(), path.size());
    return buffer;
}

// The same narrow path the private-profile functions are given, so both name one file.
// Anything at the name counts, a folder too; a query that fails counts as nothing there.
bool PathExists(const PathBuffer& path) {
    return GetFileAttributesA(path.data()) != INVALID_FILE_ATTRIBUTES;
}

// Section and key go to the platform as zero-terminated texts; one with a zero byte inside would
// name a different entry.
bool UsableName(const std::string& name) {
    return !name.empty() && !HasZeroByte(name);
}

std::string ReadProfile(const std::string& section, const std::string& key,
                        const std::string& defaultText, const PathBuffer& path) {
    std::vector<char> buffer(kValueBufferSize, '\0');
    GetPrivateProfileStringA(section.c_str(), key.c_str(), defaultText.c_str(), buffer.data(),
                             kValueBufferSize, path.data());
    return std::string(buffer.data(), strnlen(buffer.data(), buffer.size()));
}

}  // namespace

std::string IniFilePath(const std::string& stem) {
    const auto path = BuildPath(stem);
    return path ? std::string(path->data()) : std::string();
}

IniFileQuery QueryIniFile(const std::string& stem) {
    const auto path = stem.empty() ? std::nullopt : BuildPath(stem);
    if (!path) {
        return {IniFileStatus::Missing};
    }
    const DWORD attributes = GetFileAttributesA(path->data());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return {IniFileStatus::Missing};
    }
    // A folder, or what is no file at all (a pipe, a device), is never opened: opening could
    // wait, and the settings are read with the game's state locked.
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
        return {IniFileStatus::Unreadable};
    }
    // Opening follows a link to its file: one that leads nowhere is a file not there.
    HANDLE file = CreateFileA(path->data(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return platform::NothingThere(error) ? IniFileQuery{IniFileStatus::Missing}
                                             : IniFileQuery{IniFileStatus::Unreadable, error};
    }
    CloseHandle(file);
    return {IniFileStatus::Readable};
}

std::string ReadIniString(const std::string& stem, const std::string& section,
                          const std::string& key) {
    if (stem.empty() || !UsableName(section) || !UsableName(key)) {
        return {};
    }
    const auto path = BuildPath(stem);
    if (!path || !PathExists(*path)) {
        return {};
    }
    return ReadProfile(section, key, "", *path);
}

bool WriteIniString(const std::string& stem, const std::string& section, const std::string& key,
                    const std::string& value) {
    if (stem.empty() || !UsableName(section) || !UsableName(key)) {
        return false;
    }
    const auto path = BuildPath(stem);
    if (!path) {
        return false;
    }
    // The platform's answer is not trusted on its own: what counts is whether the file now gives
    // the value back.
    WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), path->data());
    if (!PathExists(*path)) {
        return false;
    }
    // The default text must differ from the value: were it the value itself, a file that did not
    // take the write (a folder in its place, a read-only file) would still read back as success.
    const std::string absent = value == "\x01" ? "\x02" : "\x01";
    return ReadProfile(section, key, absent, *path) == value;
}

}  // namespace taviro
