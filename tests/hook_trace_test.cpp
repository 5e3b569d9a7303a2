// The decision trace as the hook hands it to the log: a line where the state or its reason changes,
// bounded however a reason flickers, what a release is traced as, the once-only reports, and
// nothing allocated on the way.
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "Reasons.h"
#include "hook/Trace.h"
#include "log/Log.h"
#include "support/AllocationCounter.h"
#include "support/HookFixture.h"
#include "support/LogCheck.h"
#include "support/PluginFolder.h"
#ifndef _WIN32
#include "winshim/control.h"
#endif

namespace taviro::testing {
namespace {

namespace fs = std::filesystem;

// --- The trace ------------------------------------------------------------------------------

// The hotkey held and let go on alternate calls inside an activation window, which keeps the
// handbrake engaged either way: the state never changes, only the reason. Each change of reason
// is a line, in a burst of 16 and then one per 120 calls, and every line is true of its frame.
TEST_F(HookTest, ANewReasonIsTracedAndAFlickeringOneIsBounded) {
    PluginFolder folder;
    ASSERT_TRUE(log::Open({folder.Plugins()}));
    EnterDecisionPhase();
    for (int i = 0; i < 2100; ++i) {
        Call();  // untraced: whatever earlier tests took of the budget is back
    }
    BindHotkey(kHotkey);
    state.activationWindowOpen = true;
    state.engageStage = kEngageStageEngaged;
    state.loggingEnabled = true;
    constexpr int kCalls = 1200;
    const std::uint64_t first = HookCallCount() + 1;
    for (int i = 0; i < kCalls; ++i) {
        state.windowCount = 0;  // the window stays open
        testbed::Game::SetKeyDown(kHotkey, i % 2 == 0);
        ASSERT_EQ(Call(), kGameResult);
        if (i % 256 == 0) {
            log::Flush();
        }
    }
    state.loggingEnabled = false;
    const fs::path path = log::Path();
    log::Close();
    const std::string written = FileText(path);
    std::vector<std::uint64_t> traced;
    for (const TraceLine& trace : TraceLines(written)) {
        if (trace.handbrake != "engaged" || trace.stage != 3) {
            continue;
        }
        ASSERT_GE(trace.frame, first) << written;
        const bool held = (trace.frame - first) % 2 == 0;
        EXPECT_EQ(trace.why, held ? "hotkey-held" : "counting:activation-window")
            << "frame " << trace.frame;
        traced.push_back(trace.frame);
    }
    // The first call's line is the state's change, and the burst's 16 reason lines follow it.
    ASSERT_GE(traced.size(), 18u) << written;
    for (std::uint64_t i = 0; i < 17; ++i) {
        EXPECT_EQ(traced[i], first + i) << "a change within the burst went unsaid";
    }
    // The burst leaves the budget at first + 1 + 16 * 120; the next line is due on the first
    // call within 15 spacings of that, and not one call later.
    EXPECT_EQ(traced[17], first + 121) << "the budget's edge";
    EXPECT_LE(traced.size(), 16u + kCalls / 120 + 1);
    EXPECT_GE(traced.size(), 16u + kCalls / 120 - 1) << "the reason must go on being said";
}

// --- Steady state cost ------------------------------------------------------------------------

// With the decision trace on, every switch on the way is a trace line; writing it is the log
// writer's business, so the hook allocates nothing even then, nor with a toggled hotkey.
TEST_F(HookTest, NothingAllocatedAndNoProtectionChangedWithTheTraceOnOrOff) {
    PluginFolder folder;
    ASSERT_TRUE(log::Open({folder.Plugins()}));
    struct Case {
        const char* what;
        bool tracing;
        bool toggle;
    };
    for (const Case& c : {Case{"trace off", false, false}, Case{"trace on", true, false},
                          Case{"toggled hotkey, trace on", true, true}}) {
        SCOPED_TRACE(c.what);
        const bool tracing = c.tracing;
        EnterDecisionPhase();
        state.loggingEnabled = tracing;
        BindHotkey(kHotkey, 0, c.toggle);  // the key is asked on every call, held or not
        state.activationWindowOpen = true;
        state.windowCount = 0;
        game.SetHandbrakeByte(0x00);
        const std::uint64_t allocations = ThreadAllocations();
        for (int i = 0; i < 5; ++i) {
            Call();  // counting up to the engaged steady state: five trace lines
        }
        ASSERT_EQ(game.HandbrakeByte(), 0x03);
#ifndef _WIN32
        const std::uint64_t protects = winshim::ProtectCallCount();
#endif
        for (int i = 0; i < 100; ++i) {
            ASSERT_EQ(Call(), kGameResult);
        }
        EXPECT_EQ(ThreadAllocations(), allocations);
#ifndef _WIN32
        EXPECT_EQ(winshim::ProtectCallCount(), protects);
#endif
        EXPECT_EQ(game.HandbrakeProtection(), static_cast<DWORD>(PAGE_EXECUTE_READ));
    }
    const fs::path path = log::Path();
    log::Close();
    const std::string written = FileText(path);
    EXPECT_NE(written.find("why=counting:activation-window handbrake=engaged stage=3"),
              std::string::npos)
        << written;
}

// The byte's troubles are said once per process, word for word as below, and worded by the log's
// writer, not the hook: a queue full at that moment loses nothing. Both in one test, since each
// is said once per process.
TEST_F(HookTest, AFullQueueKeepsTheOnceOnlyReports) {
    PluginFolder folder;
    ASSERT_TRUE(log::Open({folder.Plugins()}));
    EnterDecisionPhase();
    const std::uint64_t dropped = log::Dropped();
    for (int i = 0; i < 1100; ++i) {
        log::Info("a line that fills the queue");
    }
    ASSERT_GT(log::Dropped(), dropped);

    // A byte whose page the system will not make writable: its protection window runs into
    // memory that is reserved and never committed, on Windows and in the stand-in alike.
    constexpr std::size_t kPage = 0x1000;
    auto* region =
        static_cast<std::uint8_t*>(VirtualAlloc(nullptr, 2 * kPage, MEM_RESERVE, PAGE_NOACCESS));
    ASSERT_NE(region, nullptr);
    ASSERT_NE(VirtualAlloc(region, kPage, MEM_COMMIT, PAGE_READWRITE), nullptr);
    std::uint8_t* const byte = region + kPage - 100;
    *byte = 0x00;
    std::uint8_t* const gamesSite = state.patchSite.load();
    state.patchSite.store(byte - 6);
    state.activationWindowOpen = true;
    state.engageStage = 3;  // counting, engaged: the byte is asked to switch
    Call();
    Call();
    state.patchSite.store(gamesSite);
    VirtualFree(region, 0, MEM_RELEASE);

    game.SetHandbrakeByte(0x01);  // neither released nor engaged: another plugin's
    Call();
    Call();
    log::Flush();
    Call();
    const fs::path path = log::Path();
    log::Close();
    const std::string written = FileText(path);
    for (const std::string report :
         {"error the system refused to make the game's code at Starfield.exe+3046395 writable; "
          "the handbrake byte stays as the game has it (reported once)",
          "error the handbrake byte at Starfield.exe+3046395+6 is neither 0x00 nor 0x03: another "
          "game version, or another plugin changed it; it is left alone (reported once)"}) {
        const auto first = written.find(report);
        ASSERT_NE(first, std::string::npos) << report << "\n" << written;
        const char end = written[first + report.size()];
        EXPECT_TRUE(end == '\n' || end == ' ') << "more words after: " << report;
        EXPECT_EQ(written.find(report, first + 1), std::string::npos) << "said twice: " << report;
    }
}

// A release after the hotkey is traced as what made it: the key let go when the decision itself
// releases, but a fade, a load screen or the game's flag, which come before it, as themselves.
TEST_F(HookTest, AReleaseAfterTheHotkeyIsTracedAsWhatMadeIt) {
    struct Release {
        const char* cause;
        std::function<void(testbed::Game&)> make;
    };
    const Release releases[] = {
        {"hotkey-let-go", [](testbed::Game&) { testbed::Game::SetKeyDown(kHotkey, false); }},
        {"fade", [](testbed::Game& g) { g.SetMenuOpen("FaderMenu", true); }},
        {"load-screen", [](testbed::Game& g) { g.SetMenuOpen("LoadingMenu", true); }},
        {"game-flag", [](testbed::Game& g) { g.SetTruth(true); }},
    };
    for (const Release& release : releases) {
        SCOPED_TRACE(release.cause);
        PluginFolder folder;
        ASSERT_TRUE(log::Open({folder.Plugins()}));
        EnterDecisionPhase();
        state.loggingEnabled = true;
        BindHotkey(kHotkey);
        testbed::Game::SetKeyDown(kHotkey, true);
        Call();
        ASSERT_TRUE(state.handbrakeEngaged.load());
        release.make(game);  // the key stays held, but for the key's own release
        Call();
        ASSERT_FALSE(state.handbrakeEngaged.load());
        const fs::path path = log::Path();
        log::Close();
        state.loggingEnabled = false;
        testbed::Game::SetKeyDown(kHotkey, false);
        game.SetMenuOpen("FaderMenu", false);
        game.SetMenuOpen("LoadingMenu", false);
        game.SetTruth(false);

        const std::string written = FileText(path);
        const auto last = written.rfind(" trace frame=");
        ASSERT_NE(last, std::string::npos) << written;
        const std::string line = written.substr(last, written.find('\n', last) - last);
        EXPECT_NE(line.find(std::string(" why=") + release.cause + " handbrake=released"),
                  std::string::npos)
            << line;
    }
}

// A scenario's why= is checked against the testbed's list as its file is read: the list must be
// the plugin's own reasons, every one of them and no other.
TEST(TraceWords, TheTestbedsReasonsAreThePluginsOwn) {
    std::vector<std::string_view> reasons;
    for (int i = 0; i <= static_cast<int>(trace::Cause::GameLoaded); ++i) {
        const auto cause = static_cast<trace::Cause>(i);
        if (!trace::IsEvent(cause)) {
            reasons.emplace_back(trace::CauseName(cause));
        }
    }
    EXPECT_EQ(reasons,
              std::vector<std::string_view>(testbed::kReasons.begin(), testbed::kReasons.end()));
}

// A toggled hotkey's calls are traced as it: hotkey-on while it holds the handbrake, hotkey-off on
// the call whose press turns it off, whatever then decides the handbrake: a window keeping it
// engaged gives its own reason on the next line, the reset path likewise.
TEST_F(HookTest, AToggledHotkeyIsTracedOnAndOffByItsPresses) {
    PluginFolder folder;
    ASSERT_TRUE(log::Open({folder.Plugins()}));
    EnterDecisionPhase();
    for (int i = 0; i < 2100; ++i) {
        Call();  // untraced: whatever earlier tests took of the budget for reason lines is back
    }
    state.loggingEnabled = true;
    BindHotkey(kHotkey, 0, true);
    const auto press = [&] {
        testbed::Game::SetKeyDown(kHotkey, true);
        Call();
        testbed::Game::SetKeyDown(kHotkey, false);
        Call();
    };
    Call();  // the toggle's first look; what this call's line says is an earlier test's affair
    press();
    state.activationWindowOpen = true;
    state.engageStage = kEngageStageEngaged;
    state.windowCount = 0;
    press();  // off, the window keeps the handbrake engaged
    press();
    state.activationWindowOpen = false;
    press();  // off, released
    state.loggingEnabled = false;
    const fs::path path = log::Path();
    log::Close();

    const std::string written = FileText(path);
    std::vector<std::string> traced;
    for (const TraceLine& trace : TraceLines(written)) {
        traced.push_back(trace.why + " " + trace.handbrake);
    }
    EXPECT_EQ(traced, (std::vector<std::string>{
                          "reset-path released", "hotkey-on engaged", "hotkey-off engaged",
                          "counting:activation-window engaged", "hotkey-on engaged",
                          "hotkey-off released", "reset-path released"}))
        << written;
}

}  // namespace
}  // namespace taviro::testing
