// A block of executable memory just below the game image, carved into 14-byte jump slots, so a
// 5-byte relative call in the game's code can be pointed at a function anywhere in the address
// space: the call lands in a slot, and the slot jumps on through a 64-bit absolute address.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Win32.h"

// mingw's C++ runtime formats the C99 way (the "ll" size prefix), not the way its "printf"
// archetype checks for.
#if defined(__MINGW32__)
#define TAVIRO_PRINTF_FORMAT(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#else
#define TAVIRO_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#endif

// The three system calls the search for trampoline memory makes. A test replaces them to script
// the memory map the search walks; everyone else takes the system's own.
struct TrampolineMemoryApi {
    SIZE_T (*query)(LPCVOID address, PMEMORY_BASIC_INFORMATION info, SIZE_T infoSize);
    LPVOID (*alloc)(LPVOID address, SIZE_T size, DWORD allocationType, DWORD protect);
    DWORD (*lastError)();
};

extern const TrampolineMemoryApi kSystemMemoryApi;

class BranchTrampoline {
public:
    static constexpr std::size_t kSize = 0x100;
    static constexpr std::size_t kSlotSize = 14;
    static constexpr std::uintptr_t kMaxDistanceBelowImage = 0x78000000;
    static constexpr std::size_t kCallSize = 5;

    // Commits the block in the nearest free region below `imageBase` that holds it, searching no
    // further down than kMaxDistanceBelowImage. Reports each failure on standard output. A block
    // that already exists is kept, so slots handed out from it stay valid.
    bool Create(std::uintptr_t imageBase, const TrampolineMemoryApi& memory = kSystemMemoryApi);

    // The next unused slot, or null once fewer than kSlotSize bytes remain.
    void* AllocateSlot();

    // Points the 5 bytes at `site` at a new slot that jumps to `target`. Halts the process when
    // there is no block, no slot left, or the slot is out of reach of a 32-bit displacement;
    // returns false, the site untouched, when the system refuses to make the site writable. The
    // bytes at the site are overwritten unread and never restored, and the site must not be
    // executing meanwhile: the write is a 4-byte store followed by a 1-byte store.
    bool WriteRelCall(std::uintptr_t site, std::uintptr_t target);

    // Frees the block. Any call still pointing into it would crash, so this runs only as the
    // process ends.
    void Release();

    std::uint8_t* m_base = nullptr;
    std::size_t m_capacity = 0;
    std::size_t m_used = 0;
};

extern constinit BranchTrampoline g_branchTrampoline;

// Writes one formatted line to standard output and flushes it.
void ReportMessage(const char* fmt, ...) TAVIRO_PRINTF_FORMAT(1, 2);

// Reports a broken invariant of this unit as "Assertion failed in <unit> (<line>): <expr>" and
// halts the process on an invalid instruction.
[[noreturn]] void ReportAssertionFailure(int line, const char* expr);
