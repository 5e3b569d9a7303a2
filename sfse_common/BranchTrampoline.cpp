#include "BranchTrampoline.h"

#include <cinttypes>

#include "PageProtection.h"
#include "Report.h"

namespace sfse_common {

namespace {

// Fixed rather than the compiler's own file and line, so a report reads the same in every build
// and a player's copy of it points at one check.
constexpr const char* kUnitPath = "sfse_common/BranchTrampoline";
constexpr int kLineNoBlock = 125;
constexpr int kLineOutOfReach = 245;
constexpr int kLineNoSlot = 255;

constexpr const char* kNoSpace = "couldn't allocate trampoline, no free space before image";

// Wrappers rather than the system functions' own addresses: those are imports, and an import's
// address is not a constant, which would leave kSystemMemoryApi to dynamic initialisation.
SIZE_T SystemQuery(LPCVOID address, PMEMORY_BASIC_INFORMATION info, SIZE_T infoSize) {
    return VirtualQuery(address, info, infoSize);
}
LPVOID SystemAlloc(LPVOID address, SIZE_T size, DWORD allocationType, DWORD protect) {
    return VirtualAlloc(address, size, allocationType, protect);
}
DWORD SystemLastError() {
    return GetLastError();
}

}  // namespace

constinit const TrampolineMemoryApi kSystemMemoryApi{SystemQuery, SystemAlloc, SystemLastError};

constinit BranchTrampoline branchTrampoline;

bool BranchTrampoline::Create(std::uintptr_t imageBase, const TrampolineMemoryApi& memory) {
    if (m_base) {
        return true;
    }

    const std::uintptr_t lowerBound =
        imageBase >= kMaxDistanceBelowImage ? imageBase - kMaxDistanceBelowImage : 0;

    // Nothing lies below address 0; starting at imageBase - 1 would wrap to the top of memory.
    if (imageBase == 0) {
        ReportMessage("%s", kNoSpace);
        return false;
    }
    std::uintptr_t address = imageBase - 1;

    // The system describes a free area from the queried page up to its top, so walking down
    // through one big free area meets the same candidate once per page. A candidate that was
    // refused is refused again: it is neither retried nor reported twice.
    std::uintptr_t refusedCandidate = UINTPTR_MAX;

    for (;;) {
        MEMORY_BASIC_INFORMATION info{};
        if (memory.query(reinterpret_cast<LPCVOID>(address), &info, sizeof(info)) == 0) {
            ReportMessage("VirtualQuery failed: %08X", static_cast<unsigned>(memory.lastError()));
            return false;
        }
        const auto regionBase = reinterpret_cast<std::uintptr_t>(info.BaseAddress);

        if (info.State == MEM_FREE && info.RegionSize >= kSize) {
            // The top of the region is the part nearest the image. One below the bound would be
            // out of the call's reach, and the write would halt the game: it is never taken.
            const std::uintptr_t candidate = regionBase + info.RegionSize - kSize;
            if (candidate < lowerBound) {
                ReportMessage("%s", kNoSpace);
                return false;
            }
            if (candidate != refusedCandidate) {
                void* block = memory.alloc(reinterpret_cast<LPVOID>(candidate), kSize,
                                           MEM_RESERVE | MEM_COMMIT, PAGE_EXECUTE_READWRITE);
                if (block) {
                    // The system may round the address down to its allocation granularity;
                    // what it returns is where the committed bytes start.
                    m_base = static_cast<std::uint8_t*>(block);
                    m_capacity = kSize;
                    m_used = 0;
                    return true;
                }
                ReportMessage(
                    "trampoline alloc at 0x%" PRIX64 " (0x%" PRIX64 " bytes) failed (%08X)",
                    static_cast<std::uint64_t>(candidate), static_cast<std::uint64_t>(kSize),
                    static_cast<unsigned>(memory.lastError()));
                refusedCandidate = candidate;
            }
        }

        // A region starting at 0 is the last one; the one "below" it would wrap around.
        if (regionBase == 0 || regionBase - 1 < lowerBound) {
            ReportMessage("%s", kNoSpace);
            return false;
        }
        address = regionBase - 1;
    }
}

void* BranchTrampoline::AllocateSlot() {
    std::uint8_t* slot = NextSlot();
    if (slot != nullptr) {
        m_used += kSlotSize;
    }
    return slot;
}

std::uint8_t* BranchTrampoline::NextSlot() const {
    return m_capacity - m_used < kSlotSize ? nullptr : m_base + m_used;
}

void* BranchTrampoline::WriteRelCall(std::uintptr_t site, std::uintptr_t target) {
    if (!m_base) {
        ReportAssertionFailure(kLineNoBlock, "m_base");
    }
    // The slot is only looked at here; it is taken once the site has been made writable, so a
    // refused site leaves the block as it was.
    std::uint8_t* const result = NextSlot();
    if (!result) {
        ReportAssertionFailure(kLineNoSlot, "result");
    }
    const auto call = RelativeCall::To(site, reinterpret_cast<std::uintptr_t>(result));
    if (!call) {
        ReportAssertionFailure(kLineOutOfReach,
                               "(trampolineDispl >= _I32_MIN) && (trampolineDispl <= _I32_MAX)");
    }

    void* const siteBytes = reinterpret_cast<void*>(site);
    // Writing into code the system refused to unprotect would fault inside the game; leaving the
    // call as it was keeps the game running, only without the redirect. Whether the protection
    // goes back afterwards does not change what was written, so its answer is not asked for.
    ScopedPageProtection writable(siteBytes, kCallSize, PAGE_EXECUTE_READWRITE);
    if (!writable) {
        ReportMessage("VirtualProtect failed: %08X", static_cast<unsigned>(writable.Error()));
        return nullptr;
    }
    static_cast<void>(AllocateSlot());  // the slot NextSlot gave, now taken
    // The slot jumps on before the call can lead into it.
    AbsoluteJump::To(target).WriteTo(result);
    call->WriteTo(siteBytes);
    return result;
}

std::optional<std::uintptr_t> BranchTrampoline::SlotTarget(std::uintptr_t address) const {
    const auto block = reinterpret_cast<std::uintptr_t>(m_base);
    if (!Owns(address, kSlotSize) || (address - block) % kSlotSize != 0) {
        return std::nullopt;
    }
    const AbsoluteJump jump = AbsoluteJump::At(reinterpret_cast<const void*>(address));
    if (!jump.IsAbsoluteJump()) {
        return std::nullopt;
    }
    return static_cast<std::uintptr_t>(jump.Target());
}

bool BranchTrampoline::Owns(std::uintptr_t address, std::size_t size) const {
    const auto block = reinterpret_cast<std::uintptr_t>(m_base);
    return m_base != nullptr && address >= block && size <= m_used &&
           address - block <= m_used - size;
}

void BranchTrampoline::Release() {
    if (m_base) {
        VirtualFree(m_base, 0, MEM_RELEASE);
        m_base = nullptr;
    }
    // Without a block there is nothing to hand out; a slot computed from a null base would be a
    // small bogus address.
    m_capacity = 0;
    m_used = 0;
}

void ReportAssertionFailure(int line, const char* expr) {
    ReportMessage("Assertion failed in %s (%d): %s", kUnitPath, line, expr);
    __builtin_trap();
}

}  // namespace sfse_common
