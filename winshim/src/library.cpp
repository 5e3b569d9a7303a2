// The libraries a process can load, as far as the plugin asks for any: the three XInput DLLs,
// all backed by the stand-in XInput (xinput.cpp). The documented behaviour the plugin relies on:
//  - LoadLibraryW searches the application's folder first, where the game stand-in keeps its
//    XInput, so it always finds one; LoadLibraryExW with LOAD_LIBRARY_SEARCH_SYSTEM32 looks in
//    System32 only, which holds them unless SetXInputInstalled(false) says otherwise.
//  - A module already loaded under a name is what any load of that name returns.
//  - GetModuleHandleW (and GetModuleHandleExW by name, in module.cpp) finds only what is
//    loaded; a module name without an extension means ".dll", and names match without regard to
//    case.
//  - GetProcAddress answers XInputGetState and the stand-in's own exports for driving it.
#include <algorithm>
#include <atomic>
#include <cwctype>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "winshim/control.h"
#include "winshim/windows.h"

// The stand-in's XInput function, which the plugin reaches only through GetProcAddress.
extern "C" DWORD XInputGetState(DWORD userIndex, XINPUT_STATE* state);

namespace {

constexpr const wchar_t* kXInputNames[] = {L"xinput1_4.dll", L"xinput1_3.dll", L"xinput9_1_0.dll"};
constexpr std::size_t kModules = std::size(kXInputNames);

// One byte per module: its address is the module's handle.
unsigned char moduleImages[kModules];

std::mutex libraryMutex;
bool loaded[kModules] = {};               // guarded by libraryMutex
std::vector<winshim::LibraryLoad> loads;  // guarded by libraryMutex
std::atomic<bool> xinputInstalled{true};

// The module a name or path names: its last path component, without regard to case, ".dll"
// understood when no extension is given. -1 for any other.
int ModuleIndex(LPCWSTR name) {
    if (name == nullptr) {
        return -1;
    }
    std::wstring base(name);
    const std::size_t slash = base.find_last_of(L"\\/");
    if (slash != std::wstring::npos) {
        base.erase(0, slash + 1);
    }
    for (wchar_t& c : base) {
        c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    }
    if (base.find(L'.') == std::wstring::npos) {
        base += L".dll";
    }
    for (std::size_t i = 0; i < kModules; ++i) {
        if (base == kXInputNames[i]) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

HMODULE Handle(int index) {
    return reinterpret_cast<HMODULE>(&moduleImages[index]);
}

HMODULE Load(LPCWSTR name, DWORD flags, bool applicationFolder) {
    std::lock_guard lock(libraryMutex);
    loads.push_back({name != nullptr ? name : L"", flags});
    const int index = ModuleIndex(name);
    if (index < 0 || !(loaded[index] || applicationFolder || xinputInstalled.load())) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    loaded[index] = true;
    return Handle(index);
}

HMODULE Loaded(LPCWSTR name) {
    std::lock_guard lock(libraryMutex);
    const int index = ModuleIndex(name);
    if (index < 0 || !loaded[index]) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return Handle(index);
}

}  // namespace

namespace winshim {

void SetXInputInstalled(bool installed) {
    xinputInstalled.store(installed);
}

std::vector<LibraryLoad> LibraryLoads() {
    std::lock_guard lock(libraryMutex);
    return loads;
}

void ForgetLibraries() {
    std::lock_guard lock(libraryMutex);
    std::fill(std::begin(loaded), std::end(loaded), false);
    loads.clear();
}

}  // namespace winshim

extern "C" {

HMODULE LoadLibraryW(LPCWSTR fileName) {
    return Load(fileName, 0, true);
}

HMODULE LoadLibraryExW(LPCWSTR fileName, HANDLE, DWORD flags) {
    return Load(fileName, flags, (flags & LOAD_LIBRARY_SEARCH_SYSTEM32) == 0);
}

HMODULE GetModuleHandleW(LPCWSTR moduleName) {
    return Loaded(moduleName);
}

FARPROC GetProcAddress(HMODULE module, LPCSTR procName) {
    bool known = false;
    for (std::size_t i = 0; i < kModules; ++i) {
        known = known || module == Handle(static_cast<int>(i));
    }
    const std::string name = known && procName != nullptr ? procName : "";
    // Through the one function type every other converts to and from without complaint.
    using AnyFunction = void (*)();
    const AnyFunction function =
        name == "XInputGetState"      ? reinterpret_cast<AnyFunction>(&XInputGetState)
        : name == "TaviroSetPadState" ? reinterpret_cast<AnyFunction>(&TaviroSetPadState)
        : name == "TaviroPadReads"    ? reinterpret_cast<AnyFunction>(&TaviroPadReads)
                                      : nullptr;
    if (function == nullptr) {
        SetLastError(known ? ERROR_PROC_NOT_FOUND : ERROR_MOD_NOT_FOUND);
    }
    return reinterpret_cast<FARPROC>(function);
}

}  // extern "C"
