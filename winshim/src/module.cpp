#include <atomic>

#include "winshim/control.h"
#include "winshim/windows.h"

namespace {
thread_local DWORD t_lastError = 0;
std::atomic<void*> moduleBase{nullptr};
}  // namespace

namespace winshim {
void SetMainModuleForTesting(void* base) {
    moduleBase.store(base);
}
}  // namespace winshim

extern "C" {

DWORD GetLastError() {
    return t_lastError;
}

void SetLastError(DWORD error) {
    t_lastError = error;
}

// Only the process's own image is known; before the testbed registers one, the answer is null,
// which lets tests exercise a missing game module.
HMODULE GetModuleHandleA(LPCSTR moduleName) {
    if (moduleName != nullptr) {
        SetLastError(126);  // ERROR_MOD_NOT_FOUND
        return nullptr;
    }
    return static_cast<HMODULE>(moduleBase.load());
}

}  // extern "C"
