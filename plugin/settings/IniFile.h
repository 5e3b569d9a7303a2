// The plugin's settings files: INI files under .\Data\SFSE\Plugins\, relative to the game's
// current directory, read and written through the platform's private-profile functions.
//
// Every path is ".\Data\SFSE\Plugins\" + stem + ".ini". A path that would not fit the
// platform's 255-byte buffer, or that holds a zero byte, is refused: it is never cut short into
// the name of some other file.
#pragma once

#include <string>

namespace taviro {

// The path of the file with `stem`, as every function here names it; empty when it would not fit
// the platform's buffer or holds a zero byte.
std::string IniFilePath(const std::string& stem);

// Whether the file is there to be read, for telling the player why a file gave nothing. Missing
// only when nothing, not even a folder, is at the file's path (a query that fails for any other
// reason than "not there" counts as "not there"). Never blocks: what is not a regular file is not
// opened.
enum class IniFileStatus { Missing, Readable, Unreadable };
struct [[nodiscard]] IniFileQuery {
    IniFileStatus status;
    unsigned long error = 0;  // Unreadable: the system's error on opening it, 0 for no file at all
    bool operator==(IniFileStatus other) const { return status == other; }
};
IniFileQuery QueryIniFile(const std::string& stem);

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
