#include "BranchTrampoline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#include <csignal>
#endif

namespace {

using Address = std::uintptr_t;

constexpr Address kKiB = 0x400;
constexpr Address kMiB = 0x100000;
constexpr Address k2GiB = 0x80000000;
constexpr const char* kNoSpaceLine = "couldn't allocate trampoline, no free space before image\n";

// ---------------------------------------------------------------------------------------------
// A scripted memory map for Create: regions laid down from the image towards address 0.

struct Region {
    Address base;
    Address size;
    bool free;
};

struct ScriptedMemory {
    std::vector<Region> regions;
    std::vector<Address> failingAllocs;  // candidates the system refuses
    DWORD allocError = ERROR_INVALID_ADDRESS;
    bool queryFails = false;
    DWORD queryError = ERROR_INVALID_PARAMETER;
    Address roundAllocsTo = 1;  // what the system hands back: the request rounded down to this
    // As Windows and Wine answer: a free area described from the queried page up to its top.
    bool freeFromQueriedPage = false;

    std::vector<Address> queried;
    std::vector<Address> allocRequests;
    DWORD lastError = 0;

    // Regions below `top`, given from the top down, with no gaps.
    void LayDown(Address top, std::initializer_list<std::pair<Address, bool>> sizesAndFree) {
        for (const auto& [size, free] : sizesAndFree) {
            top -= size;
            regions.push_back({top, size, free});
        }
    }
};

ScriptedMemory* activeScript = nullptr;

SIZE_T ScriptedQuery(LPCVOID address, PMEMORY_BASIC_INFORMATION info, SIZE_T infoSize) {
    const auto at = reinterpret_cast<Address>(address);
    activeScript->queried.push_back(at);
    if (activeScript->queryFails || infoSize < sizeof(*info)) {
        activeScript->lastError = activeScript->queryError;
        return 0;
    }
    for (const Region& region : activeScript->regions) {
        if (at >= region.base && at - region.base < region.size) {
            Address base = region.base;
            if (region.free && activeScript->freeFromQueriedPage) {
                base = std::max(base, at - at % 0x1000);
            }
            *info = {};
            info->BaseAddress = reinterpret_cast<void*>(base);
            info->RegionSize = region.base + region.size - base;
            info->State = region.free ? MEM_FREE : MEM_COMMIT;
            return sizeof(*info);
        }
    }
    activeScript->lastError = ERROR_INVALID_PARAMETER;
    return 0;
}

LPVOID ScriptedAlloc(LPVOID address, SIZE_T size, DWORD allocationType, DWORD protect) {
    const auto at = reinterpret_cast<Address>(address);
    activeScript->allocRequests.push_back(at);
    EXPECT_EQ(size, 256u);
    EXPECT_EQ(allocationType, static_cast<DWORD>(MEM_RESERVE | MEM_COMMIT));
    EXPECT_EQ(protect, static_cast<DWORD>(PAGE_EXECUTE_READWRITE));
    for (Address failing : activeScript->failingAllocs) {
        if (failing == at) {
            activeScript->lastError = activeScript->allocError;
            return nullptr;
        }
    }
    return reinterpret_cast<LPVOID>(at - at % activeScript->roundAllocsTo);
}

DWORD ScriptedLastError() {
    return activeScript->lastError;
}

constexpr sfse_common::TrampolineMemoryApi kScriptedApi{ScriptedQuery, ScriptedAlloc,
                                                        ScriptedLastError};

class CreateOnScriptedMap : public ::testing::Test {
protected:
    void SetUp() override { activeScript = &script; }
    void TearDown() override { activeScript = nullptr; }

    // Create with stdout captured; the memory is scripted, so the trampoline is never released.
    bool CreateBelow(Address imageBase) {
        testing::internal::CaptureStdout();
        const bool created = trampoline.Create(imageBase, kScriptedApi);
        output = testing::internal::GetCapturedStdout();
        return created;
    }

    Address Base() const { return reinterpret_cast<Address>(trampoline.Base()); }

    ScriptedMemory script;
    sfse_common::BranchTrampoline trampoline;
    std::string output;
};

TEST_F(CreateOnScriptedMap, ImageBelowTheMaximumDistanceSearchesDownToZero) {
    // With a wrapped lower bound, every address below the image would count as out of range.
    const Address image = 0x10000000;
    script.LayDown(image, {{0x8000000, false}, {0x1000000, true}, {0x7000000, false}});

    ASSERT_TRUE(CreateBelow(image));
    EXPECT_EQ(Base(), image - 0x8000000 - 256);
    EXPECT_EQ(output, "");
}

TEST_F(CreateOnScriptedMap, TakesTheNearestFreeRegionOfAtLeast256Bytes) {
    const Address image = 0x140000000;
    script.LayDown(image, {{0x1000, false}, {255, true}, {0x1000, false}, {256, true}});

    ASSERT_TRUE(CreateBelow(image));
    const Address exact = image - 0x1000 - 255 - 0x1000 - 256;
    EXPECT_EQ(Base(), exact);
    EXPECT_EQ(trampoline.Capacity(), 256u);
    EXPECT_EQ(trampoline.Used(), 0u);
    EXPECT_EQ(script.allocRequests, std::vector<Address>{exact});
    EXPECT_EQ(output, "");
}

TEST_F(CreateOnScriptedMap, AsksForTheTopOfTheRegionAndKeepsWhatTheSystemHandsBack) {
    const Address image = 0x140000000;
    script.LayDown(image, {{kMiB, true}, {0x1000, false}});
    script.roundAllocsTo = 64 * kKiB;  // as Windows rounds a reservation

    ASSERT_TRUE(CreateBelow(image));
    EXPECT_EQ(script.queried, std::vector<Address>{image - 1});
    EXPECT_EQ(script.allocRequests, std::vector<Address>{image - 256});
    EXPECT_EQ(Base(), image - 64 * kKiB);
}

TEST_F(CreateOnScriptedMap, FailedAllocationIsReportedOnceAndTheSearchGoesOnBelow) {
    const Address image = 0x140000000;
    script.LayDown(image, {{64 * kKiB, true}, {0x1000, false}, {64 * kKiB, true}});
    script.failingAllocs = {image - 256};
    // The walk meets the refused candidate again on each of the sixteen pages below it.
    script.freeFromQueriedPage = true;

    ASSERT_TRUE(CreateBelow(image));
    EXPECT_EQ(output, "trampoline alloc at 0x13FFFFF00 (0x100 bytes) failed (000001E7)\n");
    EXPECT_EQ(Base(), image - 64 * kKiB - 0x1000 - 256);
    EXPECT_EQ(script.allocRequests,
              (std::vector<Address>{image - 256, image - 64 * kKiB - 0x1000 - 256}));
    EXPECT_EQ(script.queried.size(), 16u + 2u);
}

TEST_F(CreateOnScriptedMap, StopsOnceTheSearchPassesTheLowerBound) {
    const Address image = 0x200000000;
    const Address lowerBound = image - 0x78000000;
    // The free region below the bound would fit, but it is out of reach.
    script.LayDown(image, {{image - lowerBound, false}, {kMiB, true}});

    EXPECT_FALSE(CreateBelow(image));
    EXPECT_EQ(output, kNoSpaceLine);
    EXPECT_EQ(trampoline.Base(), nullptr);
    EXPECT_TRUE(script.allocRequests.empty());
    for (Address queried : script.queried) {
        EXPECT_GE(queried, lowerBound);
    }
}

TEST_F(CreateOnScriptedMap, BlockStartingBelowTheBoundIsNeverTaken) {
    const Address image = 0x200000000;
    const Address lowerBound = image - 0x78000000;
    // A free region reaching 0x80 bytes above the bound: its top 256 bytes start below it, out
    // of reach of the call the block is for.
    script.LayDown(image, {{image - lowerBound - 0x80, false}, {64 * kKiB, true}});

    EXPECT_FALSE(CreateBelow(image));
    EXPECT_TRUE(script.allocRequests.empty());
    EXPECT_EQ(trampoline.Base(), nullptr);
    EXPECT_EQ(output, kNoSpaceLine);

    // The region's top right at the bound is still in reach.
    script = {};
    script.LayDown(image, {{image - lowerBound - 0x100, false}, {64 * kKiB, true}});
    EXPECT_TRUE(CreateBelow(image));
    EXPECT_EQ(Base(), lowerBound);
}

TEST_F(CreateOnScriptedMap, VirtualQueryFailureIsReportedWithItsErrorCode) {
    script.queryFails = true;
    script.queryError = 0x57;

    EXPECT_FALSE(CreateBelow(0x140000000));
    EXPECT_EQ(output, "VirtualQuery failed: 00000057\n");
    EXPECT_EQ(trampoline.Base(), nullptr);
}

TEST_F(CreateOnScriptedMap, SearchEndsAtAddressZeroInsteadOfWrapping) {
    // Image low enough that the lower bound is 0; the null region refuses to be allocated, as
    // it does on every system. Walking below it would query the top of the address space.
    const Address image = 0x100000;
    script.LayDown(image, {{image - 64 * kKiB, false}, {64 * kKiB, true}});
    script.failingAllocs = {64 * kKiB - 256};

    EXPECT_FALSE(CreateBelow(image));
    EXPECT_EQ(output, std::string("trampoline alloc at 0xFF00 (0x100 bytes) failed (000001E7)\n") +
                          kNoSpaceLine);
    EXPECT_EQ(script.queried.size(), 2u);
    for (Address queried : script.queried) {
        EXPECT_LT(queried, image);
    }
}

TEST_F(CreateOnScriptedMap, ImageBaseZeroFailsWithoutWalking) {
    EXPECT_FALSE(CreateBelow(0));
    EXPECT_EQ(output, kNoSpaceLine);
    EXPECT_TRUE(script.queried.empty());
}

TEST_F(CreateOnScriptedMap, SecondCreateKeepsTheBlockAndItsSlots) {
    const Address image = 0x140000000;
    script.LayDown(image, {{kMiB, true}});
    ASSERT_TRUE(CreateBelow(image));
    ASSERT_NE(trampoline.AllocateSlot(), nullptr);

    script.queried.clear();
    EXPECT_TRUE(CreateBelow(image));
    EXPECT_TRUE(script.queried.empty());
    EXPECT_EQ(Base(), image - 256);
    EXPECT_EQ(trampoline.Used(), 14u);
}

// ---------------------------------------------------------------------------------------------
// Slots.

TEST(TrampolineSlots, EighteenFitAndTheNineteenthIsRefused) {
    alignas(16) static std::uint8_t block[256];
    sfse_common::BranchTrampoline trampoline{block, 256, 0};

    for (std::size_t i = 0; i < 18; ++i) {
        EXPECT_EQ(trampoline.AllocateSlot(), block + 14 * i) << "slot " << i;
    }
    EXPECT_EQ(trampoline.Used(), 252u);
    EXPECT_EQ(trampoline.AllocateSlot(), nullptr);
    EXPECT_EQ(trampoline.Used(), 252u);

    // After a release the old capacity must not turn into slots at a null base. (The block is
    // not the system's, so the system refuses to free it; the trampoline lets go all the same.)
    trampoline.Release();
    EXPECT_EQ(trampoline.AllocateSlot(), nullptr);

    // Room for exactly one more slot is room enough: 28 bytes give two.
    alignas(16) static std::uint8_t twoSlots[28];
    trampoline = sfse_common::BranchTrampoline{twoSlots, 28, 0};
    EXPECT_EQ(trampoline.AllocateSlot(), twoSlots);
    EXPECT_EQ(trampoline.AllocateSlot(), twoSlots + 14);
    EXPECT_EQ(trampoline.AllocateSlot(), nullptr);
    EXPECT_EQ(trampoline.Used(), 28u);
}

// ---------------------------------------------------------------------------------------------
// Real memory for the call writer.

// A reserved span released on scope exit, with pages committed inside it on demand.
class Reservation {
public:
    explicit Reservation(std::size_t size)
        : m_base(
              static_cast<std::uint8_t*>(VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS))) {
    }
    ~Reservation() {
        if (m_base) {
            VirtualFree(m_base, 0, MEM_RELEASE);
        }
    }
    Reservation(const Reservation&) = delete;
    Reservation& operator=(const Reservation&) = delete;

    std::uint8_t* At(std::size_t offset) const { return m_base + offset; }
    bool Commit(std::size_t offset, std::size_t size,
                DWORD protect = PAGE_EXECUTE_READWRITE) const {
        return VirtualAlloc(m_base + offset, size, MEM_COMMIT, protect) == m_base + offset;
    }
    explicit operator bool() const { return m_base != nullptr; }

private:
    std::uint8_t* m_base;
};

Address AddressOf(const void* p) {
    return reinterpret_cast<Address>(p);
}

std::vector<std::uint8_t> BytesAt(const std::uint8_t* p, std::size_t n) {
    return {p, p + n};
}

std::vector<std::uint8_t> LittleEndian(std::uint64_t value, std::size_t n) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < n; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
    return bytes;
}

std::vector<std::uint8_t> Concat(std::vector<std::uint8_t> a, const std::vector<std::uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

DWORD ProtectionOf(const void* p) {
    MEMORY_BASIC_INFORMATION info{};
    return VirtualQuery(p, &info, sizeof(info)) ? info.Protect : 0;
}

TEST(WriteRelCall, WritesTheCallAtTheSiteAndTheJumpInTheSlot) {
    Reservation memory(64 * kKiB);
    ASSERT_TRUE(memory && memory.Commit(0, 64 * kKiB));
    std::memset(memory.At(0), 0xCC, 64 * kKiB);

    sfse_common::BranchTrampoline trampoline{memory.At(0x8000), 256, 0};
    const Address target = 0x0123456789ABCDEF;

    // A site above the block (negative displacement), on a page protected as game code is.
    std::uint8_t* siteAbove = memory.At(0xF00A);
    DWORD old = 0;
    ASSERT_TRUE(VirtualProtect(memory.At(0xF000), 0x1000, PAGE_EXECUTE_READ, &old));
    EXPECT_EQ(trampoline.WriteRelCall(AddressOf(siteAbove), target), memory.At(0x8000));
    const std::int64_t back = 0x8000 - (0xF00A + 5);
    EXPECT_EQ(BytesAt(siteAbove, 6),
              Concat(Concat({0xE8}, LittleEndian(static_cast<std::uint64_t>(back), 4)), {0xCC}));
    EXPECT_EQ(BytesAt(memory.At(0x8000), 14),
              Concat({0xFF, 0x25, 0x00, 0x00, 0x00, 0x00}, LittleEndian(target, 8)));
    EXPECT_EQ(ProtectionOf(siteAbove), static_cast<DWORD>(PAGE_EXECUTE_READ));

    // A site below it: the next slot, a forward displacement.
    std::uint8_t* siteBelow = memory.At(0x100);
    EXPECT_EQ(trampoline.WriteRelCall(AddressOf(siteBelow), target + 1), memory.At(0x8000 + 14));
    EXPECT_EQ(BytesAt(siteBelow, 5), Concat({0xE8}, LittleEndian(0x8000 + 14 - (0x100 + 5), 4)));
    EXPECT_EQ(BytesAt(memory.At(0x8000 + 14), 14),
              Concat({0xFF, 0x25, 0x00, 0x00, 0x00, 0x00}, LittleEndian(target + 1, 8)));
    EXPECT_EQ(memory.At(0x8000)[28], 0xCC);
}

TEST(WriteRelCall, SiteThatCannotBeUnprotectedIsLeftAloneAndReported) {
    // Reserved but never committed: no system will make it writable, and writing would fault.
    Reservation memory(64 * kKiB);
    ASSERT_TRUE(memory && memory.Commit(0, 0x1000));
    sfse_common::BranchTrampoline trampoline{memory.At(0), 256, 0};

    testing::internal::CaptureStdout();
    void* const slot = trampoline.WriteRelCall(AddressOf(memory.At(0x8000)), 0x1234);
    const std::string output = testing::internal::GetCapturedStdout();

    EXPECT_EQ(slot, nullptr);
    EXPECT_EQ(output.rfind("VirtualProtect failed: ", 0), 0u) << output;
    // A refused site uses up no slot: the next write still gets the first one.
    EXPECT_EQ(trampoline.Used(), 0u);
}

// The two ends of a 32-bit displacement need memory 2 GiB apart: one reservation, committed at
// both ends only. Offsets are from its base; the block is at `slot` and the site at `site`.
struct FarPair {
    Address slot;
    Address site;
};
constexpr std::size_t kFarSpan = k2GiB + 64 * kKiB;
constexpr FarPair kMostNegative{0x100, 0x100 + k2GiB - 5};  // slot - (site + 5) = -2^31
constexpr FarPair kTooNegative{0x100, 0x100 + k2GiB - 4};   // -2^31 - 1
constexpr FarPair kMostPositive{k2GiB + 0x200, 0x200 - 4};  // 2^31 - 1
constexpr FarPair kTooPositive{k2GiB + 0x200, 0x200 - 5};   // 2^31

class FarWriteRelCall : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(memory);
        ASSERT_TRUE(memory.Commit(0, 0x1000));
        ASSERT_TRUE(memory.Commit(k2GiB, 64 * kKiB));
    }

    bool Write(FarPair pair) {
        trampoline = {memory.At(pair.slot), 256, 0};
        return trampoline.WriteRelCall(AddressOf(memory.At(pair.site)), 0xABCD) != nullptr;
    }

    Reservation memory{kFarSpan};
    sfse_common::BranchTrampoline trampoline;
};

TEST_F(FarWriteRelCall, DisplacementsAtTheEdgesOf32BitsAreWritten) {
    ASSERT_TRUE(Write(kMostNegative));
    EXPECT_EQ(BytesAt(memory.At(kMostNegative.site), 5),
              (std::vector<std::uint8_t>{0xE8, 0x00, 0x00, 0x00, 0x80}));

    ASSERT_TRUE(Write(kMostPositive));
    EXPECT_EQ(BytesAt(memory.At(kMostPositive.site), 5),
              (std::vector<std::uint8_t>{0xE8, 0xFF, 0xFF, 0xFF, 0x7F}));
}

// ---------------------------------------------------------------------------------------------
// Fatal checks. Each runs in a child process that must die on the trap after writing its report.

// Prepares the child: death tests match what it writes to stderr, and the report goes to stdout.
// On Windows the trap should end the child quietly rather than start a debugger.
void PrepareChildForTrap() {
    std::fflush(stdout);
#ifdef _WIN32
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(
        [](EXCEPTION_POINTERS*) -> LONG { return EXCEPTION_EXECUTE_HANDLER; });
    _dup2(_fileno(stderr), _fileno(stdout));
#else
    dup2(STDERR_FILENO, STDOUT_FILENO);
#endif
}

std::string Literal(const std::string& text) {
    std::string pattern;
    for (char c : text) {
        if (std::strchr("\\^$.|?*+()[]{}", c)) {
            pattern += '\\';
        }
        pattern += c;
    }
    return pattern;
}

std::string AssertionPattern(int line, const std::string& expr) {
    return Literal("Assertion failed in sfse_common/BranchTrampoline (" + std::to_string(line) +
                   "): " + expr);
}

#ifdef _WIN32
const auto kTrapped = testing::ExitedWithCode(static_cast<int>(0xC000001DU));
#else
const auto kTrapped = testing::KilledBySignal(SIGILL);
#endif

#define EXPECT_TRAPS(statement, pattern) \
    EXPECT_EXIT(                         \
        {                                \
            PrepareChildForTrap();       \
            statement;                   \
        },                               \
        kTrapped, pattern)

using WriteRelCallDeathTest = FarWriteRelCall;

TEST_F(WriteRelCallDeathTest, HaltsWithoutATrampoline) {
    EXPECT_TRAPS(static_cast<void>(sfse_common::branchTrampoline.WriteRelCall(
                     AddressOf(memory.At(0x10)), 0x1234)),
                 AssertionPattern(125, "m_base"));
}

TEST_F(WriteRelCallDeathTest, HaltsWhenNoSlotIsLeft) {
    trampoline = {memory.At(0), 256, 18 * 14};
    EXPECT_TRAPS(static_cast<void>(trampoline.WriteRelCall(AddressOf(memory.At(0x800)), 0x1234)),
                 AssertionPattern(255, "result"));
}

TEST_F(WriteRelCallDeathTest, HaltsWhenTheSlotIsOutOf32BitReach) {
    const std::string pattern =
        AssertionPattern(245, "(trampolineDispl >= _I32_MIN) && (trampolineDispl <= _I32_MAX)");
    EXPECT_TRAPS(Write(kTooPositive), pattern);
    EXPECT_TRAPS(Write(kTooNegative), pattern);
}

TEST(ReportAssertionFailureDeathTest, ReportIsFlushedBeforeTheHalt) {
    // With stdout a file, an unflushed report would die in the stream's buffer.
    EXPECT_TRAPS(sfse_common::ReportAssertionFailure(7, "x < y"), "\\(7\\): x < y");
}

// ---------------------------------------------------------------------------------------------
// End to end on the real system: trampoline memory found below a code block, and a call in that
// block redirected and run.

Address seenArgument = 0;
Address Redirected(Address argument) {
    seenArgument = argument;
    return argument ^ 0x5A5A;
}

// A 64 KiB block standing for the game image, with free address space below it: a span is
// reserved and given back, and the block taken from its top.
class ImageWithRoomBelow {
public:
    ImageWithRoomBelow() {
        void* span = VirtualAlloc(nullptr, kSpan, MEM_RESERVE, PAGE_NOACCESS);
        if (span && VirtualFree(span, 0, MEM_RELEASE)) {
            m_base = static_cast<std::uint8_t*>(
                VirtualAlloc(static_cast<std::uint8_t*>(span) + kSpan - kSize, kSize,
                             MEM_RESERVE | MEM_COMMIT, PAGE_EXECUTE_READWRITE));
        }
    }
    ~ImageWithRoomBelow() {
        if (m_base) {
            VirtualFree(m_base, 0, MEM_RELEASE);
        }
    }
    ImageWithRoomBelow(const ImageWithRoomBelow&) = delete;
    ImageWithRoomBelow& operator=(const ImageWithRoomBelow&) = delete;

    std::uint8_t* At(std::size_t offset) const { return m_base + offset; }
    explicit operator bool() const { return m_base != nullptr; }

    static constexpr std::size_t kSize = 64 * kKiB;

private:
    static constexpr std::size_t kSpan = 16 * kMiB;
    std::uint8_t* m_base = nullptr;
};

TEST(RedirectedCall, ReachesTheTargetThroughTheSlot) {
    ImageWithRoomBelow image;
    ASSERT_TRUE(image);
    std::uint8_t* code = image.At(0x100);

    // caller: sub rsp,0x28; call original; add rsp,0x28; ret   original: xor eax,eax; ret
    // Neither touches the argument register, so the caller's argument reaches the callee in
    // either calling convention.
    const std::uint8_t caller[] = {0x48, 0x83, 0xEC, 0x28, 0xE8, 0x05, 0x00, 0x00, 0x00,
                                   0x48, 0x83, 0xC4, 0x28, 0xC3, 0x31, 0xC0, 0xC3};
    std::memcpy(code, caller, sizeof(caller));
    DWORD old = 0;
    ASSERT_TRUE(VirtualProtect(image.At(0), image.kSize, PAGE_EXECUTE_READ, &old));
    using Caller = Address (*)(Address);
    const auto call = reinterpret_cast<Caller>(AddressOf(code));
    ASSERT_EQ(call(0x1111), 0u);

    sfse_common::BranchTrampoline trampoline;
    testing::internal::CaptureStdout();
    const bool created = trampoline.Create(AddressOf(image.At(0)));
    const std::string output = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(created) << output;
    const Address imageBase = AddressOf(image.At(0));
    const Address reach = 0x78000000 + 64 * kKiB;  // the search's bound, less the system's rounding
    EXPECT_LT(AddressOf(trampoline.Base()), imageBase);
    EXPECT_GE(AddressOf(trampoline.Base()), imageBase > reach ? imageBase - reach : 0);

    ASSERT_NE(trampoline.WriteRelCall(AddressOf(code + 4), reinterpret_cast<Address>(&Redirected)),
              nullptr);
    EXPECT_EQ(call(0x1111), 0x1111u ^ 0x5A5A);
    EXPECT_EQ(seenArgument, 0x1111u);
    EXPECT_EQ(ProtectionOf(code), static_cast<DWORD>(PAGE_EXECUTE_READ));

    trampoline.Release();
    EXPECT_EQ(trampoline.Base(), nullptr);
}

}  // namespace
