#include "CallSite.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "FilePath.h"

namespace sfse_common {

namespace {

constexpr DWORD kExecutable =
    PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
constexpr DWORD kReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                            PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;

// A guard page raises an exception on its first touch, whatever else its protection allows.
bool Allows(DWORD protect, DWORD access) {
    return (protect & access) != 0 && (protect & PAGE_GUARD) == 0;
}

bool Describe(std::uintptr_t address, MEMORY_BASIC_INFORMATION& info) {
    info = {};
    return VirtualQuery(reinterpret_cast<LPCVOID>(address), &info, sizeof info) != 0;
}

bool InImage(const MEMORY_BASIC_INFORMATION& info, std::uintptr_t imageBase) {
    return info.State != MEM_FREE &&
           reinterpret_cast<std::uintptr_t>(info.AllocationBase) == imageBase;
}

std::string Hex(std::uintptr_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "%" PRIXPTR, value);
    return text;
}

// The file name of the module that holds `address`, and the module's base; empty for memory of
// no module.
std::string ModuleOf(std::uintptr_t address, std::uintptr_t& base) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCWSTR>(address), &module) ||
        module == nullptr) {
        return {};
    }
    // A path longer than the buffer comes back cut and as long as the buffer: try a longer one.
    // The longest path Windows knows is 32,767 characters; MAX_PATH (260) fits nearly all.
    std::vector<wchar_t> path(260);
    DWORD length = 0;
    while ((length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()))) ==
               path.size() &&
           path.size() < 0x8000) {
        path.resize(path.size() * 2);
    }
    if (length == 0 || length == path.size()) {
        return {};
    }
    base = reinterpret_cast<std::uintptr_t>(module);
    return Utf8FromWide(path.data(), true);
}

// "name+offset", or empty when no module holds the address.
std::string InModule(std::uintptr_t address, std::uintptr_t imageBase, const char* imageName,
                     const MEMORY_BASIC_INFORMATION& info) {
    if (InImage(info, imageBase)) {
        return std::string(imageName) + "+" + Hex(address - imageBase);
    }
    std::uintptr_t base = 0;
    const std::string module = ModuleOf(address, base);
    return module.empty() ? module : module + "+" + Hex(address - base);
}

// The absolute jump at `address`, when the whole of it may be read there.
bool ReadJump(std::uintptr_t address, const MEMORY_BASIC_INFORMATION& info, AbsoluteJump& jump) {
    const auto regionEnd = reinterpret_cast<std::uintptr_t>(info.BaseAddress) + info.RegionSize;
    if (info.State != MEM_COMMIT || !Allows(info.Protect, kReadable) ||
        regionEnd - address < sizeof(AbsoluteJump)) {
        return false;
    }
    jump = AbsoluteJump::At(reinterpret_cast<const void*>(address));
    return jump.IsAbsoluteJump();
}

}  // namespace

CallSiteReading ReadCallSite(std::uintptr_t site, const CallSiteExpectation& expected) {
    CallSiteReading reading;
    std::memcpy(reading.bytes.data(), reinterpret_cast<const void*>(site), reading.bytes.size());
    RelativeCall call;
    std::memcpy(&call, reading.bytes.data(), sizeof call);
    if (!call.IsCall()) {
        reading.kind = CallSiteKind::NotACall;
        return reading;
    }
    reading.target = call.Target(site);
    if (reading.target == expected.function) {
        reading.kind = CallSiteKind::GameFunction;
        return reading;
    }
    if (expected.trampoline != nullptr &&
        expected.trampoline->SlotTarget(reading.target) == expected.hook) {
        reading.kind = CallSiteKind::OwnRedirect;
        return reading;
    }
    MEMORY_BASIC_INFORMATION info{};
    if (!Describe(reading.target, info)) {
        reading.kind = CallSiteKind::NotCommitted;  // not even an address of this process
        return reading;
    }
    reading.state = info.State;
    reading.protect = info.Protect;
    if (InImage(info, expected.imageBase)) {
        reading.kind = CallSiteKind::ElsewhereInImage;
    } else if (info.State != MEM_COMMIT) {
        reading.kind = CallSiteKind::NotCommitted;
    } else if (!Allows(info.Protect, kExecutable)) {
        reading.kind = CallSiteKind::NotExecutable;
    } else {
        reading.kind = CallSiteKind::OtherRedirect;
    }
    return reading;
}

std::string NameCode(std::uintptr_t address, std::uintptr_t imageBase, const char* imageName,
                     bool followJump) {
    MEMORY_BASIC_INFORMATION info{};
    const bool described = Describe(address, info);
    if (std::string name = InModule(address, imageBase, imageName, info); !name.empty()) {
        return name;
    }
    AbsoluteJump jump;
    if (followJump && described && ReadJump(address, info, jump)) {
        const auto destination = static_cast<std::uintptr_t>(jump.Target());
        MEMORY_BASIC_INFORMATION there{};
        std::string name;
        if (Describe(destination, there)) {
            name = InModule(destination, imageBase, imageName, there);
        }
        if (name.empty()) {
            name = "memory of no module at 0x" + Hex(destination);
        }
        return name + " (through a jump at 0x" + Hex(address) + ")";
    }
    return "memory of no module at 0x" + Hex(address);
}

std::string Utf8FromWide(const wchar_t* text, bool fileNameOnly) {
    std::wstring_view wide(text);
    if (const auto separator = wide.find_last_of(L"\\/");
        fileNameOnly && separator != std::wstring_view::npos) {
        wide.remove_prefix(separator + 1);
    }
    return taviro::platform::Utf8(wide);
}

}  // namespace sfse_common
