// The handbrake byte's transitions, its page protection, and patching from several threads.
#include <atomic>
#include <thread>
#include <vector>

#include "hook/HandbrakePatch.h"
#include "support/GameFixture.h"
#ifndef _WIN32
#include "winshim/control.h"
#endif

namespace taviro::testing {
namespace {

const std::uint8_t kEngagedByte[] = {kHandbrakeEngaged};

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
    PatchOutcome outcome;
};

class PatchTransitions : public PatchTest, public ::testing::WithParamInterface<Transition> {};

TEST_P(PatchTransitions, ByteFlagAndProtection) {
    const Transition t = GetParam();
    game.SetHandbrakeByte(t.before);
    const DWORD protectionBefore = game.HandbrakeProtection();
    [[maybe_unused]] const std::uint64_t protects = ProtectCalls();

    EXPECT_EQ(SetHandbrakePatch(PatchSite(), t.engage), t.outcome);

    EXPECT_EQ(game.HandbrakeByte(), t.after);
    EXPECT_EQ(game.HandbrakeProtection(), protectionBefore);
#ifndef _WIN32
    // A switch lifts the protection and puts it back; anything else leaves the page alone.
    EXPECT_EQ(ProtectCalls() - protects, t.before != t.after ? 2u : 0u);
#endif
}

INSTANTIATE_TEST_SUITE_P(Patch, PatchTransitions,
                         ::testing::Values(Transition{0x00, true, 0x03, PatchOutcome::Switched},
                                           Transition{0x03, true, 0x03, PatchOutcome::Unchanged},
                                           Transition{0x03, false, 0x00, PatchOutcome::Switched},
                                           Transition{0x00, false, 0x00, PatchOutcome::Unchanged},
                                           Transition{0x01, true, 0x01, PatchOutcome::Foreign},
                                           Transition{0x01, false, 0x01, PatchOutcome::Foreign},
                                           Transition{0xFF, true, 0xFF, PatchOutcome::Foreign}));

TEST_F(PatchTest, WithoutAPatchSiteNothingIsTouched) {
    game.SetHandbrakeByte(0x00);
    const std::uint64_t protects = ProtectCalls();
    EXPECT_EQ(SetHandbrakePatch(nullptr, true), PatchOutcome::NoSite);
    EXPECT_EQ(game.HandbrakeByte(), 0x00);
    EXPECT_EQ(ProtectCalls(), protects);
}

// A byte whose 200-byte protection window runs into reserved, uncommitted memory: the system
// refuses the protection change, on Windows and in the stand-in alike.
class RefusedProtection : public PatchTest {
protected:
    void SetUp() override {
        PatchTest::SetUp();
        m_region = static_cast<std::uint8_t*>(
            VirtualAlloc(nullptr, 2 * kPage, MEM_RESERVE, PAGE_NOACCESS));
        ASSERT_NE(m_region, nullptr);
        ASSERT_NE(VirtualAlloc(m_region, kPage, MEM_COMMIT, PAGE_READWRITE), nullptr);
        m_byte = m_region + kPage - 100;
    }
    void TearDown() override {
        VirtualFree(m_region, 0, MEM_RELEASE);
        PatchTest::TearDown();
    }
    static constexpr std::size_t kPage = 0x1000;
    std::uint8_t* m_region = nullptr;
    std::uint8_t* m_byte = nullptr;
};

TEST_F(RefusedProtection, LeavesTheByteAndAnswersRefused) {
    *m_byte = 0x00;
    EXPECT_EQ(SetHandbrakePatch(m_byte - 6, true), PatchOutcome::Refused);
    EXPECT_EQ(*m_byte, 0x00);
    EXPECT_FALSE(WriteCodeBytes(kEngagedByte, m_byte));
    EXPECT_EQ(*m_byte, 0x00);
}

TEST_F(PatchTest, WriteReportsAFailedRestoreButKeepsTheBytes) {
#ifdef _WIN32
    GTEST_SKIP() << "needs the stand-in to refuse one chosen protection call";
#else
    std::uint8_t* target = testbed::GameImage::Get().At(testbed::layout::kHandbrakeByte);
    game.SetHandbrakeByte(0x00);
    winshim::RefuseVirtualProtect(1, /*after=*/1);
    EXPECT_FALSE(WriteCodeBytes(kEngagedByte, target));
    EXPECT_EQ(game.HandbrakeByte(), 0x03);
    EXPECT_EQ(game.HandbrakeProtection(), static_cast<DWORD>(PAGE_EXECUTE_READWRITE));
#endif
}

TEST_F(PatchTest, SequenceRoutinesRejectNullEmptyAndOverlong) {
    std::uint8_t code[4] = {0x03, 0x00, 0x03, 0x00};
    const std::uint8_t three[] = {0x03, 0x00, 0x03};
    const std::uint8_t differs[] = {0x03, 0x00, 0x00};
    const std::uint8_t firstDiffers[] = {0x00, 0x00, 0x03};
    EXPECT_FALSE(BytesMatch(kEngagedByte, nullptr));
    EXPECT_FALSE(BytesMatch({}, code));
    EXPECT_FALSE(WriteCodeBytes(kEngagedByte, nullptr));
    EXPECT_FALSE(WriteCodeBytes({}, code));
    EXPECT_TRUE(BytesMatch(three, code));
    EXPECT_FALSE(BytesMatch(differs, code)) << "every byte is compared";
    EXPECT_FALSE(BytesMatch(firstDiffers, code)) << "every byte decides, not only the last";

    // Past the protection window the write would fault on a page left read-only.
    std::uint8_t* target = testbed::GameImage::Get().At(testbed::layout::kHandbrakeByte);
    const std::vector<std::uint8_t> overlong(kProtectWindow + 1, kHandbrakeEngaged);
    game.SetHandbrakeByte(0x00);
    EXPECT_FALSE(WriteCodeBytes(overlong, target));
    EXPECT_EQ(game.HandbrakeByte(), 0x00);
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
                static_cast<void>(SetHandbrakePatch(PatchSite(), ((i + t) % 2) == 0));
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
    static_cast<void>(SetHandbrakePatch(PatchSite(), true));
    EXPECT_EQ(game.HandbrakeByte(), 0x03);
}

}  // namespace
}  // namespace taviro::testing
