// A block of executable memory just below the game image, carved into 14-byte jump slots, so a
// 5-byte relative call in the game's code can be pointed at a function anywhere in the address
// space: the call lands in a slot, and the slot jumps on through a 64-bit absolute address.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "AbsoluteJump.h"
#include "RelativeCall.h"
#include "Win32.h"

namespace sfse_common {

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
    static constexpr std::size_t kSlotSize = sizeof(AbsoluteJump);
    static constexpr std::uintptr_t kMaxDistanceBelowImage = 0x78000000;
    static constexpr std::size_t kCallSize = RelativeCall::kSize;

    constexpr BranchTrampoline() = default;
    // Carves slots out of `block`, committed by someone else, of which `used` bytes are gone.
    constexpr BranchTrampoline(std::uint8_t* block, std::size_t capacity, std::size_t used)
        : m_base(block), m_capacity(capacity), m_used(used) {}

    // Commits the block in the nearest free region below `imageBase` that holds it, searching no
    // further down than kMaxDistanceBelowImage; a region below that bound is never taken, as a
    // call from the image could not reach it. Reports each failure on standard output. A block
    // that already exists is kept, so slots handed out from it stay valid.
    [[nodiscard]] bool Create(std::uintptr_t imageBase,
                              const TrampolineMemoryApi& memory = kSystemMemoryApi);

    // The next unused slot, or null once fewer than kSlotSize bytes remain.
    [[nodiscard]] void* AllocateSlot();

    // Points the 5 bytes at `site` at a new slot that jumps to `target`, and hands back that
    // slot. Halts the process when there is no block, no slot left, or the slot is out of reach
    // of a 32-bit displacement; returns null, the site untouched and no slot taken, when the
    // system refuses to make the site writable. The bytes at the site are overwritten unread and
    // never restored, and the site must not be executing meanwhile: the write is a 4-byte store
    // followed by a 1-byte store.
    [[nodiscard]] void* WriteRelCall(std::uintptr_t site, std::uintptr_t target);

    // Frees the block. Any call still pointing into it would crash, so this runs only as the
    // process ends.
    void Release();

    // Where the slot at `address`, one this block handed out, jumps to; nothing for an address
    // that is not the start of a handed-out slot.
    [[nodiscard]] std::optional<std::uintptr_t> SlotTarget(std::uintptr_t address) const;
    // Whether [address, address + size) lies in the part of the block handed out as slots.
    bool Owns(std::uintptr_t address, std::size_t size) const;

    std::uint8_t* Base() const { return m_base; }
    std::size_t Capacity() const { return m_capacity; }
    std::size_t Used() const { return m_used; }

private:
    // The slot AllocateSlot would hand out next, without taking it.
    std::uint8_t* NextSlot() const;

    std::uint8_t* m_base = nullptr;
    std::size_t m_capacity = 0;
    std::size_t m_used = 0;
};

extern constinit BranchTrampoline branchTrampoline;

// Reports a broken invariant of this unit as "Assertion failed in <unit> (<line>): <expr>" and
// halts the process on an invalid instruction.
[[noreturn]] void ReportAssertionFailure(int line, const char* expr);

}  // namespace sfse_common
