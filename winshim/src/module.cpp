#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "FilePath.h"
#include "winshim/control.h"
#include "winshim/windows.h"

namespace {
thread_local DWORD t_lastError = 0;
std::atomic<void*> moduleBase{nullptr};

// The registered image stands for the main module, as the game's image is the process's own.
bool InRegisteredImage(const void* address) {
    void* const image = moduleBase.load();
    MEMORY_BASIC_INFORMATION info{};
    return image != nullptr && VirtualQuery(address, &info, sizeof info) != 0 &&
           info.Type == MEM_IMAGE && info.AllocationBase == image;
}

std::string ProgramPath() {
    std::string path(4096, '\0');
    const ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
    path.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    return path;
}

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
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return static_cast<HMODULE>(moduleBase.load());
}

// By address: the registered image, or the shared object the dynamic loader placed there
// (memory no object was loaded into belongs to no module). By name only the main module is
// known. No module is ever unloaded here, so reference counts are not kept.
BOOL GetModuleHandleExW(DWORD flags, LPCWSTR moduleName, HMODULE* module) {
    constexpr DWORD kPinUnchanged =
        GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
    if (module == nullptr || (flags & kPinUnchanged) == kPinUnchanged) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *module = nullptr;
    if ((flags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) == 0) {
        *module = moduleName == nullptr ? GetModuleHandleA(nullptr) : GetModuleHandleW(moduleName);
    } else if (InRegisteredImage(moduleName)) {
        *module = static_cast<HMODULE>(moduleBase.load());
    } else if (Dl_info info{}; dladdr(moduleName, &info) != 0 && info.dli_fbase != nullptr) {
        *module = static_cast<HMODULE>(info.dli_fbase);
    }
    if (*module == nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}

// The full path of the module's file. A buffer too small gets the path cut to size - 1
// characters and its terminator, the answer is `size` and the last error
// ERROR_INSUFFICIENT_BUFFER, as Windows does since Vista.
DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) {
    std::string path;
    if (module == nullptr || module == moduleBase.load()) {
        path = ProgramPath();
    } else if (Dl_info info{}; dladdr(module, &info) != 0 && info.dli_fbase == module) {
        // The dynamic loader names the main program by an empty text.
        path =
            info.dli_fname != nullptr && info.dli_fname[0] != '\0' ? info.dli_fname : ProgramPath();
    } else {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    const std::wstring wide = taviro::platform::Wide(path);
    if (size == 0 || fileName == nullptr) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (wide.size() >= size) {
        wide.copy(fileName, size - 1);
        fileName[size - 1] = L'\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    wide.copy(fileName, wide.size());
    fileName[wide.size()] = L'\0';
    return static_cast<DWORD>(wide.size());
}

}  // extern "C"
