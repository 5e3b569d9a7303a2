#include "Win32.h"

// Nothing to do on any notification: the plugin's work starts when the host calls the load
// entry, and everything it holds lives until the process ends.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
