// Settings paths are written the Windows way, with backslashes. On Windows they go to the file
// system as they are; elsewhere the standard file-system queries need the separators turned into
// slashes first.
#pragma once

#include <algorithm>
#include <string>

namespace taviro::platform {

inline std::string NativeFilePath(std::string path) {
#ifndef _WIN32
    std::replace(path.begin(), path.end(), '\\', '/');
#endif
    return path;
}

}  // namespace taviro::platform
