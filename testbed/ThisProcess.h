// This process's id, which names the folders the testbed, its tests and its benchmarks make, so
// that runs side by side never share one.
#pragma once

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

namespace testbed {

inline long ThisProcessId() {
#ifdef _WIN32
    return _getpid();
#else
    return getpid();
#endif
}

}  // namespace testbed
