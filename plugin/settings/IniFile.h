// The plugin's settings files: INI files under .\Data\SFSE\Plugins\, relative to the game's
// current directory, read and written through the platform's private-profile functions.
//
// Every path is ".\Data\SFSE\Plugins\" + stem + ".ini". A path that would not fit the
// platform's 255-byte buffer, or that holds a zero byte, is refused: it is never cut short into
// the name of some other file.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace taviro {

// The path of the file with `stem`, as every function here names it; empty when it would not fit
// the platform's buffer or holds a zero byte.
std::string IniFilePath(const std::string& stem);

// Whether the file is there to be read, for telling the player why a file gave nothing. Missing
// only when nothing, not even a folder, is at the file's path (a query that fails for any other
// reason than "not there" counts as "not there"). Never blocks: what is not a regular file is not
// opened.
enum class IniFileStatus {
    Missing,
    Readable,
    // There, but not to be opened or read for now: another program holds it open with no
    // sharing (ERROR_SHARING_VIOLATION) or has locked part of it (ERROR_LOCK_VIOLATION), or the
    // system denies access for a moment (ERROR_ACCESS_DENIED, as while a deletion is pending).
    Held,
    Unreadable,  // a folder, not a regular file, or another error on opening it
};
struct CloseFile {
    void operator()(void* handle) const;
};
struct [[nodiscard]] IniFileQuery {
    IniFileStatus status;
    unsigned long error = 0;  // Held, Unreadable: the system's error, 0 for no file at all
    std::string start{};      // Readable: the file's first bytes (up to 4 KiB), as they are
    // Readable: the file, open for reading and shared with every other reader and writer, until
    // the query goes: while it is open no other program can hold the file shut, so the keys read
    // meanwhile are the file's.
    std::unique_ptr<void, CloseFile> open{};
    bool operator==(IniFileStatus other) const { return status == other; }
};
IniFileQuery QueryIniFile(const std::string& stem);

// The names of the file's sections (no section given) or of one section's keys, as the platform
// lists them, in file order; empty when the file or the section is missing.
[[nodiscard]] std::vector<std::string> IniNames(const std::string& stem, const char* section);

// Whether a regular file `name` (with its extension) is in the plugin folder.
[[nodiscard]] bool PluginFileThere(const std::string& name);

// The key's value, at most 9,999 characters; empty when the file, section or key is missing,
// when the value is empty, or when stem, section or key is empty.
[[nodiscard]] std::string ReadIniString(const std::string& stem, const std::string& section,
                                        const std::string& key);

// Writes the key, creating the file (not its folder) when missing, and reports whether the file
// now holds it: true exactly when the key reads back as the value, byte for byte. A write the
// file did not take (a folder in its place, a read-only file) is false. False without writing
// when stem, section or key is empty.
[[nodiscard]] bool WriteIniString(const std::string& stem, const std::string& section,
                                  const std::string& key, const std::string& value);

}  // namespace taviro
