// The shell's known folders (where Documents is), for the few files that ask. Apart from Win32.h:
// the shell's headers are the heaviest of the system's, and nearly every file includes Win32.h.
#pragma once

#include "Win32.h"

#ifdef _WIN32
// After windows.h, which these build on.
#include <knownfolders.h>
#include <shlobj.h>
#endif
