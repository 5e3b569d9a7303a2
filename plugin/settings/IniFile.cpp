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

constexpr DWORD kStartSize = 4096;

// The path of the plugin folder's file `name` as the private-profile functions take it,
// zero-filled; nothing when it does not fit or when a zero byte inside a name would end it early.
std::optional<PathBuffer> BuildFilePath(const std::string& name) {
    if (HasZeroByte(name)) {
        return std::nullopt;
    }
    const std::string path = kPluginFolder + name;
    if (path.size() >= kPathBufferSize) {
        return std::nullopt;
    }
    PathBuffer buffer{};
    std::memcpy(buffer.data(), path.data(), path.size());
    return buffer;
}

std::optional<PathBuffer> BuildPath(const std::string& stem) {
    return BuildFilePath(stem + ".ini");
}

// What an error on opening or reading a file that is there means: held for now, or unreadable.
IniFileQuery NotReadable(DWORD error) {
    const bool forNow = error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
                        error == ERROR_ACCESS_DENIED;
    return {forNow ? IniFileStatus::Held : IniFileStatus::Unreadable, error};
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
                                             : NotReadable(error);
    }
    IniFileQuery query{IniFileStatus::Readable};
    query.open.reset(file);
    // A part of the file locked by another program reads as no value at all: the first bytes
    // tell, and show what the file starts with.
    query.start.resize(kStartSize);
    DWORD read = 0;
    if (!ReadFile(file, query.start.data(), kStartSize, &read, nullptr)) {
        return NotReadable(GetLastError());
    }
    query.start.resize(read);
    return query;
}

void CloseFile::operator()(void* handle) const {
    CloseHandle(static_cast<HANDLE>(handle));
}

std::vector<std::string> IniNames(const std::string& stem, const char* section) {
    std::vector<std::string> names;
    const auto path = stem.empty() ? std::nullopt : BuildPath(stem);
    if (!path || (section != nullptr && !UsableName(section))) {
        return names;
    }
    // A list that does not fit comes back cut, its count two short of the buffer: ask again with
    // more room, up to a size no settings file reaches.
    std::vector<char> buffer;
    DWORD count = 0;
    for (DWORD size = kValueBufferSize; size <= (1u << 22); size *= 4) {
        buffer.assign(size, '\0');
        count = GetPrivateProfileStringA(section, nullptr, "", buffer.data(), size, path->data());
        if (count + 2 != size) {
            break;
        }
    }
    for (std::size_t at = 0; at < count && buffer[at] != '\0';) {
        const std::size_t length = strnlen(buffer.data() + at, count - at);
        names.emplace_back(buffer.data() + at, length);
        at += length + 1;
    }
    return names;
}

bool PluginFileThere(const std::string& name) {
    const auto path = BuildFilePath(name);
    if (!path) {
        return false;
    }
    const DWORD attributes = GetFileAttributesA(path->data());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
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
