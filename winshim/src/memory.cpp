// Virtual memory with the semantics the plugin relies on: reservations at an address round down
// to the 64 KiB allocation granularity, commits work on reserved pages, protections are
// remembered per page so the previous one can be handed back, and queries describe the whole
// address space (our own allocations precisely, everything else from /proc/self/maps).
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "winshim/control.h"
#include "winshim/windows.h"

namespace {

constexpr std::uintptr_t kPage = 0x1000;
constexpr std::uintptr_t kGranularity = 0x10000;
constexpr std::uintptr_t kUserSpaceEnd = 0x800000000000;

std::uintptr_t Floor(std::uintptr_t v, std::uintptr_t a) {
    return v & ~(a - 1);
}
std::uintptr_t Ceil(std::uintptr_t v, std::uintptr_t a) {
    return (v + a - 1) & ~(a - 1);
}

struct Allocation {
    std::uintptr_t base = 0;
    std::size_t size = 0;
    DWORD initialProtect = 0;
    DWORD type = MEM_PRIVATE;
    std::vector<DWORD> pages;  // protection per page; 0 = reserved, not committed

    std::size_t PageIndex(std::uintptr_t address) const { return (address - base) / kPage; }
};

std::mutex memoryMutex;
std::map<std::uintptr_t, Allocation> allocations;  // keyed by base
std::atomic<std::uint64_t> protectCalls{0};
int protectsBeforeRefusal = 0;  // guarded by memoryMutex
int protectsToRefuse = 0;       // guarded by memoryMutex

int PosixProtection(DWORD protect) {
    switch (protect & 0xFF) {
        case PAGE_NOACCESS:
            return PROT_NONE;
        case PAGE_READONLY:
            return PROT_READ;
        case PAGE_READWRITE:
            return PROT_READ | PROT_WRITE;
        case PAGE_EXECUTE:
        case PAGE_EXECUTE_READ:
            return PROT_READ | PROT_EXEC;
        case PAGE_EXECUTE_READWRITE:
            return PROT_READ | PROT_WRITE | PROT_EXEC;
        default:
            return -1;
    }
}

Allocation* FindAllocation(std::uintptr_t address) {
    auto it = allocations.upper_bound(address);
    if (it == allocations.begin()) {
        return nullptr;
    }
    --it;
    Allocation& a = it->second;
    return address < a.base + a.size ? &a : nullptr;
}

struct Mapping {
    std::uintptr_t begin;
    std::uintptr_t end;
    DWORD protect;
};

// The Windows protection closest to a mapping's "rwxp" permissions.
DWORD WindowsProtection(const char* perms) {
    const bool read = perms[0] == 'r';
    const bool write = perms[1] == 'w';
    const bool execute = perms[2] == 'x';
    if (execute) {
        return write ? PAGE_EXECUTE_READWRITE : read ? PAGE_EXECUTE_READ : PAGE_EXECUTE;
    }
    return write ? PAGE_READWRITE : read ? PAGE_READONLY : PAGE_NOACCESS;
}

std::vector<Mapping> ReadMaps() {
    std::vector<Mapping> maps;
    std::ifstream in("/proc/self/maps");
    std::string line;
    while (std::getline(in, line)) {
        unsigned long long b = 0;
        unsigned long long e = 0;
        char perms[5] = {};
        if (std::sscanf(line.c_str(), "%llx-%llx %4s", &b, &e, perms) == 3) {
            maps.push_back({static_cast<std::uintptr_t>(b), static_cast<std::uintptr_t>(e),
                            WindowsProtection(perms)});
        }
    }
    return maps;
}

bool Fail(DWORD error) {
    SetLastError(error);
    return false;
}

}  // namespace

namespace winshim {

void RegisterImage(void* base, std::size_t size) {
    std::lock_guard lock(memoryMutex);
    Allocation a;
    a.base = reinterpret_cast<std::uintptr_t>(base);
    a.size = Ceil(size, kPage);
    a.initialProtect = PAGE_READWRITE;
    a.type = MEM_IMAGE;
    a.pages.assign(a.size / kPage, PAGE_READWRITE);
    allocations[a.base] = std::move(a);
    SetMainModuleForTesting(base);
}

std::uint64_t ProtectCallCount() {
    return protectCalls.load();
}

void RefuseVirtualProtect(int count, int after) {
    std::lock_guard lock(memoryMutex);
    protectsToRefuse = count;
    protectsBeforeRefusal = after;
}

}  // namespace winshim

extern "C" {

SIZE_T VirtualQuery(LPCVOID address, PMEMORY_BASIC_INFORMATION info, SIZE_T length) {
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    if (info == nullptr || length < sizeof(MEMORY_BASIC_INFORMATION) || at >= kUserSpaceEnd) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::memset(info, 0, sizeof *info);
    std::lock_guard lock(memoryMutex);
    if (const Allocation* a = FindAllocation(at)) {
        // Like Windows: from the queried page up to the first page that differs.
        std::size_t first = a->PageIndex(at);
        std::size_t last = first;
        while (last + 1 < a->pages.size() && a->pages[last + 1] == a->pages[first]) {
            ++last;
        }
        info->BaseAddress = reinterpret_cast<void*>(a->base + first * kPage);
        info->AllocationBase = reinterpret_cast<void*>(a->base);
        info->AllocationProtect = a->initialProtect;
        info->RegionSize = (last - first + 1) * kPage;
        info->State = a->pages[first] != 0 ? MEM_COMMIT : MEM_RESERVE;
        info->Protect = a->pages[first];
        info->Type = a->type;
        return sizeof *info;
    }
    // Foreign mappings and gaps are described whole, so a downward walk moves region by region.
    std::uintptr_t gapBegin = 0;
    for (const Mapping& m : ReadMaps()) {
        if (at < m.begin) {
            break;
        }
        if (at < m.end) {
            info->BaseAddress = reinterpret_cast<void*>(m.begin);
            info->AllocationBase = reinterpret_cast<void*>(m.begin);
            info->AllocationProtect = m.protect;
            info->RegionSize = m.end - m.begin;
            info->State = MEM_COMMIT;
            info->Protect = m.protect;
            info->Type = MEM_PRIVATE;
            return sizeof *info;
        }
        gapBegin = m.end;
    }
    std::uintptr_t gapEnd = kUserSpaceEnd;
    for (const Mapping& m : ReadMaps()) {
        if (m.begin > at) {
            gapEnd = m.begin;
            break;
        }
    }
    info->BaseAddress = reinterpret_cast<void*>(gapBegin);
    info->RegionSize = gapEnd - gapBegin;
    info->State = MEM_FREE;
    info->Protect = PAGE_NOACCESS;
    return sizeof *info;
}

LPVOID VirtualAlloc(LPVOID address, SIZE_T size, DWORD allocationType, DWORD protect) {
    const int prot = PosixProtection(protect);
    if (size == 0 || prot < 0 || (allocationType & (MEM_RESERVE | MEM_COMMIT)) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    const bool commit = (allocationType & MEM_COMMIT) != 0;
    std::lock_guard lock(memoryMutex);

    if ((allocationType & MEM_RESERVE) == 0 && at != 0) {
        // Commit inside an existing reservation.
        Allocation* a = FindAllocation(at);
        const std::uintptr_t begin = Floor(at, kPage);
        const std::uintptr_t end = Ceil(at + size, kPage);
        if (a == nullptr || end > a->base + a->size) {
            SetLastError(ERROR_INVALID_ADDRESS);
            return nullptr;
        }
        if (mprotect(reinterpret_cast<void*>(begin), end - begin, prot) != 0) {
            SetLastError(ERROR_INVALID_ADDRESS);
            return nullptr;
        }
        std::fill(a->pages.begin() + static_cast<std::ptrdiff_t>(a->PageIndex(begin)),
                  a->pages.begin() + static_cast<std::ptrdiff_t>(a->PageIndex(end - 1) + 1),
                  protect);
        return reinterpret_cast<void*>(begin);
    }

    const std::uintptr_t base = Floor(at, kGranularity);
    const std::size_t length = at != 0 ? Ceil(at + size, kPage) - base : Ceil(size, kPage);
    if (at != 0 && at + size > kUserSpaceEnd) {
        SetLastError(ERROR_INVALID_ADDRESS);
        return nullptr;
    }
    const int flags =
        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | (at != 0 ? MAP_FIXED_NOREPLACE : 0);
    void* mapped =
        mmap(reinterpret_cast<void*>(base), length, commit ? prot : PROT_NONE, flags, -1, 0);
    if (mapped == MAP_FAILED) {
        SetLastError(at != 0 ? ERROR_INVALID_ADDRESS : ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (at != 0 && reinterpret_cast<std::uintptr_t>(mapped) != base) {
        // A kernel without MAP_FIXED_NOREPLACE treats the address as a hint.
        munmap(mapped, length);
        SetLastError(ERROR_INVALID_ADDRESS);
        return nullptr;
    }
    Allocation a;
    a.base = reinterpret_cast<std::uintptr_t>(mapped);
    a.size = length;
    a.initialProtect = protect;
    a.pages.assign(length / kPage, commit ? protect : 0);
    allocations[a.base] = std::move(a);
    return mapped;
}

BOOL VirtualFree(LPVOID address, SIZE_T size, DWORD freeType) {
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    std::lock_guard lock(memoryMutex);
    auto it = allocations.find(at);
    if (freeType == MEM_RELEASE) {
        if (size != 0 || it == allocations.end() || it->second.type == MEM_IMAGE) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        munmap(address, it->second.size);
        allocations.erase(it);
        return TRUE;
    }
    if (freeType == MEM_DECOMMIT) {
        Allocation* a = FindAllocation(at);
        const std::uintptr_t begin = Floor(at, kPage);
        const std::uintptr_t end =
            size == 0 && a != nullptr ? a->base + a->size : Ceil(at + size, kPage);
        if (a == nullptr || end > a->base + a->size || a->type == MEM_IMAGE) {
            return Fail(ERROR_INVALID_ADDRESS);
        }
        mmap(reinterpret_cast<void*>(begin), end - begin, PROT_NONE,
             MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1, 0);
        std::fill(a->pages.begin() + static_cast<std::ptrdiff_t>(a->PageIndex(begin)),
                  a->pages.begin() + static_cast<std::ptrdiff_t>(a->PageIndex(end - 1) + 1), 0u);
        return TRUE;
    }
    return Fail(ERROR_INVALID_PARAMETER);
}

BOOL VirtualProtect(LPVOID address, SIZE_T size, DWORD newProtect, PDWORD oldProtect) {
    protectCalls.fetch_add(1);
    std::lock_guard lock(memoryMutex);
    if (protectsBeforeRefusal > 0) {
        --protectsBeforeRefusal;
    } else if (protectsToRefuse > 0) {
        --protectsToRefuse;
        return Fail(ERROR_ACCESS_DENIED);
    }
    const int prot = PosixProtection(newProtect);
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    if (prot < 0 || oldProtect == nullptr || size == 0) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    Allocation* a = FindAllocation(at);
    const std::uintptr_t begin = Floor(at, kPage);
    const std::uintptr_t end = Ceil(at + size, kPage);
    if (a == nullptr || end > a->base + a->size) {
        return Fail(ERROR_INVALID_ADDRESS);
    }
    const auto first = static_cast<std::ptrdiff_t>(a->PageIndex(begin));
    const auto past = static_cast<std::ptrdiff_t>(a->PageIndex(end - 1) + 1);
    if (std::find(a->pages.begin() + first, a->pages.begin() + past, 0u) !=
        a->pages.begin() + past) {
        return Fail(ERROR_INVALID_ADDRESS);  // part of the range is not committed
    }
    if (mprotect(reinterpret_cast<void*>(begin), end - begin, prot) != 0) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    *oldProtect = a->pages[static_cast<std::size_t>(first)];
    std::fill(a->pages.begin() + first, a->pages.begin() + past, newProtect);
    return TRUE;
}

}  // extern "C"
