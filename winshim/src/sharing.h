// Windows' share modes for the stand-ins' opens (see winshim/fileapi.h for what they follow).
#pragma once

#include "winshim/windows.h"

namespace winshim::sharing {

// Takes what a handle opened with `share` asks of the open descriptor `fd`: false when another
// handle holds the file shut, or, for a handle that shares nothing, when another handle that
// reads has it open. The caller then fails with ERROR_SHARING_VIOLATION.
bool Take(int fd, DWORD share, bool reads, bool writes);

}  // namespace winshim::sharing
