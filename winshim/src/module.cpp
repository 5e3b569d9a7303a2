#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <string>

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

// UTF-8 file names as the wide text Windows hands out; a byte that starts no character reads as
// U+FFFD, as the system's own conversion makes it.
std::wstring Widened(const std::string& text) {
    std::wstring wide;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        char32_t c = length == 1 ? lead : lead & (0x3Fu >> (length - 1));
        bool valid = (length == 1 || lead >= 0xC2) && lead <= 0xF4 && i + length <= text.size();
        for (std::size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            c = (c << 6) | (next & 0x3Fu);
        }
        constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};  // shorter forms are invalid
        valid = valid && c >= kLeast[length] && c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
        wide.push_back(valid ? static_cast<wchar_t>(c) : L'\xFFFD');
        i += valid ? length : 1;
    }
    return wide;
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
    const std::wstring wide = Widened(path);
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
