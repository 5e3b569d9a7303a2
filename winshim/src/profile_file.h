// The private-profile stand-ins' way to their files (see profile.cpp for the file model): a file
// read whole, the file a write replaces at the end of a chain of links, and the replacement
// itself, made whole or not at all. Called with the profile functions' lock held.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "winshim/windows.h"

namespace winshim::profile {

// The file's bytes; nothing when it is missing or is not a regular file (`error`
// ERROR_FILE_NOT_FOUND), when another handle holds it shut (ERROR_SHARING_VIOLATION) or when it
// cannot be read (ERROR_ACCESS_DENIED). Anything but a regular file is refused before it is
// opened: opening a FIFO waits for a writer (with the caller's lock held), and opening a device
// can act on it. While it is read, no handle can hold it shut.
std::optional<std::string> ReadProfileFile(const std::string& path, DWORD& error);

// The path a write replaces: `path` itself, or the end of its chain of links, so that the links
// stay links. That end may be missing if its folder is there. Otherwise sets `error` to the
// Windows error for the case.
std::optional<std::string> WriteTarget(std::string path, DWORD& error);

// Replaces the file at `path` with `text` in one rename. `mode` is the old file's permissions;
// a new file gets the usual ones for a created file (the umask applies).
bool ReplaceFile(const std::string& path, const std::string& text, std::optional<mode_t> mode);

}  // namespace winshim::profile
