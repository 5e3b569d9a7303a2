// The handbrake byte's transitions, its page protection, and patching from several threads.
#include <atomic>
#include <thread>
#include <vector>

#include "plugin/HandbrakePatch.h"
#include "tests/support/GameFixture.h"
#ifndef _WIN32
#include "winshim/control.h"
#endif

namespace taviro::testing {
namespace {

class PatchTest : public GameFixture {
protected:
    std::uint64_t ProtectCalls() const {
#ifdef _WIN32
        return 0;  // only the stand-in counts; Windows runs check the protection itself
#else
        return winshim::ProtectCallCount();
#endif
    }
};

struct Transition {
    std::uint8_t before;
    bool engage;
    std::uint8_t after;
};

class PatchTransitions : public PatchTest, public ::testing::WithParamInterface<Transition> {};

TEST_P(PatchTransitions, ByteFlagAndProtection) {
    const Transition t = GetParam();
    game.SetHandbrakeByte(t.before);
    state.handbrakeEngaged.store(!t.engage);
    const DWORD protectionBefore = game.HandbrakeProtection();
    [[maybe_unused]] const std::uint64_t protects = ProtectCalls();

    SetHandbrakePatch(t.engage);

    EXPECT_EQ(game.HandbrakeByte(), t.after);
    EXPECT_EQ(state.handbrakeEngaged.load(), t.engage) << "the flag follows every request";
    EXPECT_EQ(game.HandbrakeProtection(), protectionBefore);
#ifndef _WIN32
    // A switch lifts the protection and puts it back; anything else leaves the page alone.
    EXPECT_EQ(ProtectCalls() - protects, t.before != t.after ? 2u : 0u);
#endif
}

INSTANTIATE_TEST_SUITE_P(
    Patch, PatchTransitions,
    ::testing::Values(Transition{0x00, true, 0x03}, Transition{0x03, true, 0x03},
                      Transition{0x03, false, 0x00}, Transition{0x00, false, 0x00},
                      Transition{0x01, true, 0x01}, Transition{0x01, false, 0x01},
                      Transition{0xFF, true, 0xFF}));

TEST_F(PatchTest, WithoutAPatchSiteOnlyTheFlagMoves) {
    state.patchSite.store(nullptr);
    game.SetHandbrakeByte(0x00);
    const std::uint64_t protects = ProtectCalls();
    SetHandbrakePatch(true);
    EXPECT_TRUE(state.handbrakeEngaged.load());
    SetHandbrakePatch(false);
    EXPECT_FALSE(state.handbrakeEngaged.load());
    EXPECT_EQ(game.HandbrakeByte(), 0x00);
    EXPECT_EQ(ProtectCalls(), protects);
}

// A byte whose 200-byte protection window runs into reserved, uncommitted memory: the system
// refuses the protection change, on Windows and in the stand-in alike.
class RefusedProtection : public PatchTest {
protected:
    void SetUp() override {
        PatchTest::SetUp();
        region_ = static_cast<std::uint8_t*>(
            VirtualAlloc(nullptr, 2 * kPage, MEM_RESERVE, PAGE_NOACCESS));
        ASSERT_NE(region_, nullptr);
        ASSERT_NE(VirtualAlloc(region_, kPage, MEM_COMMIT, PAGE_READWRITE), nullptr);
        byte_ = region_ + kPage - 100;
        state.patchSite.store(byte_ - 6);
    }
    void TearDown() override {
        VirtualFree(region_, 0, MEM_RELEASE);
        PatchTest::TearDown();
    }
    static constexpr std::size_t kPage = 0x1000;
    std::uint8_t* region_ = nullptr;
    std::uint8_t* byte_ = nullptr;
};

TEST_F(RefusedProtection, LeavesTheByteAndStillMovesTheFlag) {
    *byte_ = 0x00;
    SetHandbrakePatch(true);
    EXPECT_EQ(*byte_, 0x00);
    EXPECT_TRUE(state.handbrakeEngaged.load());
    EXPECT_FALSE(WriteCodeBytes({0x03}, byte_));
    EXPECT_EQ(*byte_, 0x00);
}

TEST_F(PatchTest, WriteReportsAFailedRestoreButKeepsTheBytes) {
#ifdef _WIN32
    GTEST_SKIP() << "needs the stand-in to refuse one chosen protection call";
#else
    std::uint8_t* target = testbed::GameImage::Get().At(testbed::layout::kHandbrakeByte);
    game.SetHandbrakeByte(0x00);
    winshim::RefuseVirtualProtect(1, /*after=*/1);
    EXPECT_FALSE(WriteCodeBytes({0x03}, target));
    EXPECT_EQ(game.HandbrakeByte(), 0x03);
    EXPECT_EQ(game.HandbrakeProtection(), static_cast<DWORD>(PAGE_EXECUTE_READWRITE));
#endif
}

TEST_F(PatchTest, SequenceRoutinesRejectNullAndEmpty) {
    std::uint8_t code[4] = {0x03, 0x00, 0x03, 0x00};
    EXPECT_FALSE(BytesMatch({0x03}, nullptr));
    EXPECT_FALSE(BytesMatch({}, code));
    EXPECT_FALSE(WriteCodeBytes({0x03}, nullptr));
    EXPECT_FALSE(WriteCodeBytes({}, code));
    EXPECT_TRUE(BytesMatch({0x03, 0x00, 0x03}, code));
    EXPECT_FALSE(BytesMatch({0x03, 0x00, 0x00}, code)) << "every byte is compared";
}

TEST(CodeBytes, RefusesToGrowPastTheProtectionWindow) {
    CodeBytes bytes;
    for (std::size_t i = 0; i < kProtectWindow; ++i) {
        bytes.push_back(0x90);
    }
    EXPECT_THROW(bytes.push_back(0x90), std::length_error);
    EXPECT_THROW(static_cast<void>(CodeBytes{0x01}.at(1)), std::out_of_range);
    const CodeBytes copy = bytes;
    EXPECT_EQ(copy.size(), kProtectWindow);
}

// The hook's busy path patches without StateMutex while the lock holder patches too. Whatever
// the interleaving, the byte only ever holds one of its two values, the protection ends as it
// started, and nobody waits.
TEST_F(PatchTest, ConcurrentSwitchesNeverTearOrLeakProtection) {
    const DWORD protectionBefore = game.HandbrakeProtection();
    std::atomic<bool> stop{false};
    std::atomic<int> badBytes{0};
    std::thread watcher([&] {
        while (!stop.load()) {
            const std::uint8_t b = game.HandbrakeByte();
            if (b != 0x00 && b != 0x03) {
                badBytes.fetch_add(1);
            }
        }
    });
    std::vector<std::thread> patchers;
    for (int t = 0; t < 3; ++t) {
        patchers.emplace_back([t] {
            for (int i = 0; i < 2000; ++i) {
                SetHandbrakePatch(((i + t) % 2) == 0);
            }
        });
    }
    for (auto& p : patchers) {
        p.join();
    }
    stop.store(true);
    watcher.join();
    EXPECT_EQ(badBytes.load(), 0);
    EXPECT_EQ(game.HandbrakeProtection(), protectionBefore);
    // Settled by the next call, as the next hook call would.
    SetHandbrakePatch(true);
    EXPECT_EQ(game.HandbrakeByte(), 0x03);
}

}  // namespace
}  // namespace taviro::testing
