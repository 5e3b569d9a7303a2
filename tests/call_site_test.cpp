// Reading a call site that other plugins may have redirected first, and naming the code a call
// leads to: against the game stand-in's real call site and real memory near its image, natively
// with the stand-in layer and under Wine with the system's own answers.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "AbsoluteJump.h"
#include "BranchTrampoline.h"
#include "CallSite.h"
#include "GameImage.h"
#include "GameLayout.h"
#include "PluginHost.h"
#include "Win32.h"
#include "support/CallSiteBytes.h"

namespace {

using testbed::GameImage;
namespace layout = testbed::layout;

using taviro::testing::CallTo;
using taviro::testing::HexText;
using taviro::testing::WriteSite;

std::uintptr_t ImageBase() {
    return reinterpret_cast<std::uintptr_t>(GameImage::Get().Base());
}
std::uintptr_t Site() {
    return taviro::testing::SiteAddress();
}
std::uintptr_t GameFunction() {
    return taviro::testing::GameFunctionAddress();
}
void CallFromSite(std::uintptr_t target, std::uint8_t opcode = 0xE8) {
    WriteSite(CallTo(target, opcode));
}

std::uint64_t HookOfOurs(void*) {
    return 1;
}
std::uintptr_t Address(std::uint64_t (*function)(void*)) {
    return reinterpret_cast<std::uintptr_t>(function);
}

// Committed, executable memory within a call's reach of the site, as another plugin's trampoline
// is: found the way ours is, and given back at the end.
class NearbyBlock {
public:
    NearbyBlock() { EXPECT_TRUE(m_block.Create(ImageBase())); }
    ~NearbyBlock() { m_block.Release(); }
    NearbyBlock(const NearbyBlock&) = delete;
    NearbyBlock& operator=(const NearbyBlock&) = delete;

    std::uintptr_t At() const { return reinterpret_cast<std::uintptr_t>(m_block.Base()); }
    sfse_common::BranchTrampoline& Trampoline() { return m_block; }
    void Hold(std::initializer_list<std::uint8_t> code) {
        std::memcpy(m_block.Base(), code.begin(), code.size());
    }
    void HoldJumpTo(std::uintptr_t target) {
        sfse_common::AbsoluteJump::To(target).WriteTo(m_block.Base());
    }

private:
    sfse_common::BranchTrampoline m_block;
};

class CallSiteTest : public ::testing::Test {
protected:
    void TearDown() override {
        CallFromSite(GameFunction());
        ours.Release();
    }

    sfse_common::CallSiteReading Read() {
        return sfse_common::ReadCallSite(
            Site(), {ImageBase(), GameFunction(), &ours, Address(&HookOfOurs)});
    }

    sfse_common::BranchTrampoline ours;
};

TEST_F(CallSiteTest, TheGamesCallOurSlotAndAnotherPluginsRedirectAreTaken) {
    CallFromSite(GameFunction());
    sfse_common::CallSiteReading reading = Read();
    EXPECT_EQ(reading.kind, sfse_common::CallSiteKind::GameFunction);
    EXPECT_EQ(reading.target, GameFunction());
    EXPECT_FALSE(reading.Refused());

    ASSERT_TRUE(ours.Create(ImageBase()));
    ASSERT_NE(ours.WriteRelCall(Site(), Address(&HookOfOurs)), nullptr);
    EXPECT_EQ(Read().kind, sfse_common::CallSiteKind::OwnRedirect);

    // A slot of our block that leads anywhere but our hook is someone else's redirect.
    ASSERT_NE(ours.WriteRelCall(Site(), GameFunction()), nullptr);
    EXPECT_EQ(Read().kind, sfse_common::CallSiteKind::OtherRedirect);

    NearbyBlock other;
    other.HoldJumpTo(GameFunction());
    CallFromSite(other.At());
    reading = Read();
    EXPECT_EQ(reading.kind, sfse_common::CallSiteKind::OtherRedirect);
    EXPECT_EQ(reading.target, other.At());
    EXPECT_EQ(reading.state, MEM_COMMIT);
    EXPECT_FALSE(reading.Refused());
}

void Protect(std::uintptr_t block, DWORD protection) {
    DWORD old = 0;
    ASSERT_TRUE(VirtualProtect(reinterpret_cast<LPVOID>(block), 1, protection, &old));
}

// The load's tests refuse a site with no call, a call elsewhere in the image and calls into
// reserved or read-write memory; these are the readings at the edges of those.
TEST_F(CallSiteTest, EdgesOfWhatCallingWouldBreakAreRefused) {
    struct Case {
        const char* what;
        void (*make)(NearbyBlock& block);
        sfse_common::CallSiteKind kind;
        DWORD state;
    };
    const Case cases[] = {
        {"a jump, not a call, to the game's function",
         [](NearbyBlock&) { CallFromSite(GameFunction(), 0xE9); },
         sfse_common::CallSiteKind::NotACall, 0},
        {"a call into executable memory behind a guard page",
         [](NearbyBlock& block) {
             Protect(block.At(), PAGE_EXECUTE_READ | PAGE_GUARD);
             CallFromSite(block.At());
         },
         sfse_common::CallSiteKind::NotExecutable, MEM_COMMIT},
        {"a call into memory given back to the system",
         [](NearbyBlock& block) {
             CallFromSite(block.At());
             block.Trampoline().Release();
         },
         sfse_common::CallSiteKind::NotCommitted, MEM_FREE},
    };
    NearbyBlock block;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.make(block);
        const sfse_common::CallSiteReading reading = Read();
        EXPECT_EQ(reading.kind, c.kind);
        EXPECT_EQ(reading.state, c.state);
        EXPECT_TRUE(reading.Refused());
    }
}

// "name+offset" split, the offset read back as a number.
std::pair<std::string, std::uintptr_t> Split(const std::string& name) {
    const std::size_t plus = name.rfind('+');
    if (plus == std::string::npos) {
        return {name, 0};
    }
    return {name.substr(0, plus), std::stoull(name.substr(plus + 1), nullptr, 16)};
}

// Code of a module that is not the program: under Wine the program is the game's image.
std::uintptr_t ExportOfAModule(const char* name) {
    testbed::PluginHost& host = testbed::PluginHost::Get();
    static const bool loaded = host.LoadOther(testbed::PluginHost::ChainingPluginPath());
    EXPECT_TRUE(loaded) << host.Error();
    return reinterpret_cast<std::uintptr_t>(host.OtherExport(name));
}

TEST(CodeNames, AModuleAndItsOffsetAndOneJumpFollowed) {
    const std::uintptr_t code = ExportOfAModule("SFSEPlugin_Load");
    const std::uintptr_t moreCode = ExportOfAModule("OtherPlugin_HookCalls");
    ASSERT_NE(code, 0u);
    const std::string name = sfse_common::NameCode(code, ImageBase(), "Starfield.exe");
    const auto [module, offset] = Split(name);
    // The module by its file name alone, wherever it lies.
    EXPECT_EQ(module,
              std::filesystem::path(testbed::PluginHost::ChainingPluginPath()).filename().string());
    // Offsets within one module differ as the addresses do.
    const auto [sameModule, otherOffset] =
        Split(sfse_common::NameCode(moreCode, ImageBase(), "Starfield.exe"));
    EXPECT_EQ(sameModule, module);
    EXPECT_EQ(otherOffset - offset, moreCode - code);

    EXPECT_EQ(sfse_common::NameCode(GameFunction(), ImageBase(), "Starfield.exe"),
              "Starfield.exe+" + HexText(layout::kVehicleUpdate));

    NearbyBlock slot;
    slot.HoldJumpTo(code);
    EXPECT_EQ(sfse_common::NameCode(slot.At(), ImageBase(), "Starfield.exe"),
              name + " (through a jump at 0x" + HexText(slot.At()) + ")");
    EXPECT_EQ(sfse_common::NameCode(slot.At(), ImageBase(), "Starfield.exe", false),
              "memory of no module at 0x" + HexText(slot.At()));

    // Only one step: a jump to another jump names the second one's memory.
    NearbyBlock further;
    further.HoldJumpTo(slot.At());
    EXPECT_EQ(sfse_common::NameCode(further.At(), ImageBase(), "Starfield.exe"),
              "memory of no module at 0x" + HexText(slot.At()) + " (through a jump at 0x" +
                  HexText(further.At()) + ")");

    slot.Hold({0xC3});  // ret: code of no module, and no jump to follow
    EXPECT_EQ(sfse_common::NameCode(slot.At(), ImageBase(), "Starfield.exe"),
              "memory of no module at 0x" + HexText(slot.At()));
}

TEST(CodeNames, ModuleFileNamesBecomeUtf8FileNames) {
    EXPECT_EQ(sfse_common::Utf8FromWide(
                  L"C:\\Games\\Starfield\\Data\\SFSE\\Plugins\\Pl\u00FCgin.dll", true),
              "Pl\xC3\xBCgin.dll");
    EXPECT_EQ(sfse_common::Utf8FromWide(L"/opt/game/\u6F22.so", true), "\xE6\xBC\xA2.so");
    EXPECT_EQ(sfse_common::Utf8FromWide(L"a/b", false), "a/b");
    if constexpr (sizeof(wchar_t) == 2) {
        const wchar_t pair[] = {0xD83D, 0xDE97, L'.', L'd', L'l', L'l', 0};
        EXPECT_EQ(sfse_common::Utf8FromWide(pair, true), "\xF0\x9F\x9A\x97.dll");
        const wchar_t lone[] = {L'a', 0xD83D, L'b', 0};
        EXPECT_EQ(sfse_common::Utf8FromWide(lone, true),
                  "a\xEF\xBF\xBD"
                  "b");
    }
}

// The naming asks again with a longer buffer when the path fills the one it gave: that rests on
// this answer, the same from the stand-in as from Windows.
TEST(CodeNames, AShortBufferGetsThePathCutAndItsOwnSize) {
    HMODULE module = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(ExportOfAModule("SFSEPlugin_Load")), &module));
    wchar_t whole[1024] = {};
    const DWORD length = GetModuleFileNameW(module, whole, 1024);
    ASSERT_GT(length, 4u);
    ASSERT_LT(length, 1024u);
    wchar_t cut[4] = {L'x', L'x', L'x', L'x'};
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameW(module, cut, 4), 4u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    // Windows since Vista ends the cut path in its terminator; Wine, as Windows XP did, does not.
    EXPECT_EQ(std::wstring(cut, 3), std::wstring(whole, 3));

    NearbyBlock block;
    EXPECT_FALSE(GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(block.At()), &module));
    EXPECT_EQ(module, nullptr);
}

}  // namespace
