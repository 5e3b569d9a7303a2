// The Windows functions and types the plugin and the testbed use. On Windows they are the
// system's own; elsewhere the winshim library stands in for them under the same names, so the
// plugin's code reads the same in both builds.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h, which it builds on.
#include <xinput.h>
#else
#include "winshim/windows.h"
#endif

namespace taviro::platform {

// What the file functions say when a file, or a folder on its way, is not there: nothing to
// read, rather than something that could not be read.
inline bool NothingThere(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

}  // namespace taviro::platform
