// The plugin's log as the end of the game leaves it. A child process loads the real plugin into
// the game stand-in, as the host does, and plays with the decision trace on: a trace line every
// frame, and a game load every fifty frames, whose settings reload says an error that wakes the
// log's writer at once, so the writer is at work most of the time. The game then ends at a random
// moment: killed outright, or ending itself. Whatever the moment, every line in the log must be a
// whole record and no frame's record may be there twice; at an ending of its own, the last frame
// the game traced must be there too, and the closing line after it, naming that frame.
//
// The same program is the child: log_exit_test --child <how> <milliseconds> <trace>.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "DataFiles.h"
#include "GameEvents.h"
#include "GameRuntime.h"
#include "PluginHost.h"
#include "support/LogCheck.h"
#include "support/PluginFolder.h"

#ifdef _WIN32
#include <shlobj.h>
#include <windows.h>
#else
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "winshim/control.h"
extern char** environ;
#endif

namespace {

namespace fs = std::filesystem;
using taviro::testing::FileText;
using taviro::testing::LogProblems;
using taviro::testing::PageProblems;
using taviro::testing::TraceLine;
using taviro::testing::TraceLines;

constexpr int kBlockFrames = 50;   // between two game loads
constexpr int kBurstFrames = 900;  // of the queue's 1024 records

fs::path LogFolder() {
#ifdef _WIN32
    PWSTR documents = nullptr;
    fs::path folder;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_Documents, KF_FLAG_DEFAULT, nullptr, &documents))) {
        folder = fs::path(documents) / "My Games" / "Starfield" / "SFSE" / "Logs";
    }
    CoTaskMemFree(documents);
    return folder;
#else
    return fs::current_path() / "Documents" / "My Games" / "Starfield" / "SFSE" / "Logs";
#endif
}

// --- The child: the game, played until it ends -------------------------------------------------

void WriteText(const fs::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
}

// how: "killed" plays until killed; "exits" ends itself after `milliseconds`, through
// ExitProcess on Windows and exit elsewhere, right after a traced frame whose number it leaves
// in the file last-frame.
int PlayUntilTheEnd(const std::string& how, int milliseconds, bool trace) {
#ifndef _WIN32
    fs::create_directories("Documents");
    winshim::SetDocumentsFolder((fs::current_path() / "Documents").string());
#endif
    const fs::path plugins = fs::path("Data") / "SFSE" / "Plugins";
    fs::create_directories(plugins);
    // The default file's refused value is an error at every game load.
    WriteText(plugins / "Taviro.ini", "[Settings]\r\nbLogging=0\r\niHandbrakeHotkey=zz\r\n");
    WriteText(plugins / "TaviroCustom.ini",
              std::string("[Settings]\r\nbLogging=") + (trace ? "1" : "0") + "\r\n");
    testbed::Game& game = testbed::Game::Get();
    testbed::GameEvents& events = testbed::GameEvents::Get();
    testbed::DataFiles::Get().InstallDefaultLoadOrder();
    testbed::PluginHost& host = testbed::PluginHost::Get();
    if (!host.Load(testbed::PluginHost::DefaultPluginPath()) || !host.CallLoadEntry()) {
        std::fprintf(stderr, "the plugin did not load: %s\n", host.Error().c_str());
        return 2;
    }
    host.DeliverMessage(2);  // the game's data has loaded: the writer starts

    testbed::UpdateObject vehicle;
    vehicle.SetFloat(1.0f);
    std::uint64_t frame = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int block = 0;; ++block) {
        events.DispatchLoadGame();
        for (int i = 0; i < kBlockFrames; ++i) {
            // A load screen every other frame: the warm-up restarts and starts again, a change
            // and a trace line every frame.
            game.SetMenuOpen("LoadingMenu", i % 2 == 0);
            game.Frame(&vehicle);
            ++frame;
            // Paced as a game is, so that the queue keeps up and every traced frame is written.
            const auto paced = std::chrono::steady_clock::now() + std::chrono::microseconds(20);
            while (std::chrono::steady_clock::now() < paced) {
            }
        }
        if (block == 0) {
            WriteText("ready", "");
        }
        if (how == "exits" &&
            std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(milliseconds)) {
            // Frames at full speed leave the writer most of a queue to write at its next look.
            // The game ends a moment after the log starts to grow, most often while the writer is
            // at work, with one more traced frame queued.
            // Said first: writing a file takes long enough under Wine for the writer to finish.
            WriteText("last-frame", std::to_string(frame + kBurstFrames + 1));
            std::fflush(nullptr);
            const fs::path log = LogFolder() / "Taviro.log";
            std::error_code error;
            const auto size = fs::file_size(log, error);
            for (int i = 0; i < kBurstFrames; ++i) {
                game.SetMenuOpen("LoadingMenu", i % 2 == 0);
                game.Frame(&vehicle);
                ++frame;
            }
            const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(1);
            while (fs::file_size(log, error) == size && std::chrono::steady_clock::now() < giveUp) {
            }
            const auto moment = std::chrono::steady_clock::now() +
                                std::chrono::microseconds(std::random_device{}() % 800);
            while (std::chrono::steady_clock::now() < moment) {
            }
            game.SetMenuOpen("LoadingMenu", kBurstFrames % 2 == 0);  // a change: a trace line
            game.Frame(&vehicle);
#ifdef _WIN32
            ExitProcess(0);
#else
            std::exit(0);
#endif
        }
    }
}

// --- The parent: rounds of a child ended at a random moment -------------------------------------

class Child {
public:
    Child(const std::string& how, int milliseconds, bool trace) {
        const std::string ms = std::to_string(milliseconds);
#ifdef _WIN32
        wchar_t self[MAX_PATH];
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring line = L"\"" + std::wstring(self) + L"\" --child " +
                            std::wstring(how.begin(), how.end()) + L" " +
                            std::wstring(ms.begin(), ms.end()) + (trace ? L" 1" : L" 0");
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        m_started = CreateProcessW(self, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                   &startup, &m_process) != 0;
        if (m_started) {
            CloseHandle(m_process.hThread);
        }
#else
        const std::string self = fs::read_symlink("/proc/self/exe").string();
        const std::string traced = trace ? "1" : "0";
        char* argv[] = {const_cast<char*>(self.c_str()),   const_cast<char*>("--child"),
                        const_cast<char*>(how.c_str()),    const_cast<char*>(ms.c_str()),
                        const_cast<char*>(traced.c_str()), nullptr};
        m_started = posix_spawn(&m_pid, self.c_str(), nullptr, nullptr, argv, environ) == 0;
#endif
    }

    bool Started() const {
        return m_started;
    }

    void Kill() {
#ifdef _WIN32
        TerminateProcess(m_process.hProcess, 9);
#else
        kill(m_pid, SIGKILL);
#endif
    }

    // The exit code, or -1 when killed.
    int Wait() {
#ifdef _WIN32
        WaitForSingleObject(m_process.hProcess, 60000);
        DWORD code = 0;
        GetExitCodeProcess(m_process.hProcess, &code);
        CloseHandle(m_process.hProcess);
        return code == 9 ? -1 : static_cast<int>(code);
#else
        int status = 0;
        waitpid(m_pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
    }

private:
    bool m_started = false;
#ifdef _WIN32
    PROCESS_INFORMATION m_process{};
#else
    pid_t m_pid = 0;
#endif
};

// Every whole trace line's frame, each at most once and in order; problems as LogProblems words
// them.
std::vector<std::string> FrameProblems(const std::string& log, std::set<std::uint64_t>& frames) {
    std::vector<std::string> problems;
    std::uint64_t last = 0;
    for (const TraceLine& trace : TraceLines(log)) {
        const std::uint64_t frame = trace.frame;
        if (!frames.insert(frame).second) {
            problems.push_back("frame " + std::to_string(frame) + " written twice");
        } else if (frame < last) {
            problems.push_back("frame " + std::to_string(frame) + " after " + std::to_string(last));
        }
        last = frame;
    }
    return problems;
}

// The last line that is more than the spaces which fill a page of the file.
std::string LastLine(const std::string& log) {
    const std::size_t end = log.find_last_not_of(" \n");
    if (end == std::string::npos) {
        return {};
    }
    const std::size_t start = log.rfind('\n', end);
    return log.substr(start == std::string::npos ? 0 : start + 1, end + 1 - (start + 1));
}

bool WaitFor(const fs::path& file) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!fs::exists(file)) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return true;
}

class LogAtExit : public ::testing::Test {
protected:
    // One round: a child ended `how` at a random moment up to `upTo` milliseconds into its drive.
    void Round(const std::string& how, int upTo) {
        std::uniform_int_distribution<int> moment(0, upTo * 1000);
        const int micros = moment(random);
        fs::remove("ready");
        fs::remove("last-frame");
        Child child(how == "exits" ? "exits" : "killed", micros / 1000, true);
        ASSERT_TRUE(child.Started());
        ASSERT_TRUE(WaitFor("ready"));
        if (how == "killed") {
            std::this_thread::sleep_for(std::chrono::microseconds(micros));
            child.Kill();
        }
        const int code = child.Wait();
        ASSERT_EQ(code, how == "killed" ? -1 : 0);

        const std::string log = FileText(LogFolder() / "Taviro.log");
        ASSERT_FALSE(log.empty());
        std::set<std::uint64_t> frames;
        std::vector<std::string> problems = LogProblems(log);
        // A real traced log of many pages: a kill rarely lands on the one line that crosses one.
        for (const auto& more : {FrameProblems(log, frames), PageProblems(log)}) {
            problems.insert(problems.end(), more.begin(), more.end());
        }
        if (how == "exits") {
            const std::string last = FileText("last-frame");
            if (frames.count(std::stoull(last)) == 0) {
                problems.push_back("the last traced frame, " + last + ", is not there");
            }
            // Ended by itself: the log's last line says how far the hook got, which a reader
            // of the trace needs to know how long its last state lasted.
            const std::string closing = "the last vehicle update the hook saw was frame=" + last;
            if (LastLine(log).find(closing) == std::string::npos) {
                problems.push_back("the log does not end with \"" + closing + "\"");
            }
        }
        EXPECT_EQ(problems, std::vector<std::string>())
            << how << " at " << micros << " us, ending:\n"
            << log.substr(log.size() - std::min<std::size_t>(log.size(), 600));
        ++rounds;
        lines += static_cast<std::size_t>(std::count(log.begin(), log.end(), '\n'));
    }

    // CI plays every round; a run elsewhere a quarter of them, to keep it short.
    void Rounds(const std::string& how, int inCi, int upTo) {
        const char* ci = std::getenv("CI");
        const int count = ci != nullptr && std::string(ci) == "true" ? inCi : (inCi + 3) / 4;
        for (int i = 0; i < count && !HasFailure(); ++i) {
            Round(how, upTo);
        }
        std::printf("log at exit: %d rounds %s, %zu lines checked\n", rounds, how.c_str(), lines);
    }

    taviro::testing::PluginFolder folder;
    std::mt19937 random{std::random_device{}()};
    int rounds = 0;
    std::size_t lines = 0;
};

// Killed: SIGKILL natively, TerminateProcess on Windows. Under Wine every start of a child costs
// a few tenths of a second, so there are fewer rounds.
TEST_F(LogAtExit, KilledAtARandomMomentLeavesWholeLinesEachOnce) {
#ifdef _WIN32
    Rounds("killed", 16, 150);
#else
    Rounds("killed", TAVIRO_KILL_ROUNDS, 20);
#endif
}

// Ending itself: exit natively, ExitProcess on Windows, where the writer thread is ended
// wherever it is before the plugin's exit code runs.
TEST_F(LogAtExit, EndingAtARandomMomentWritesWhatWasQueuedEachLineOnce) {
#ifdef _WIN32
    Rounds("exits", 16, 150);
#else
    Rounds("exits", 20, 20);
#endif
}

// Three launches into one log whose previous launch's file cannot be moved aside: traced,
// untraced, traced. The timeline test reads this log (TAVIRO_APPENDED_LOG).
TEST_F(LogAtExit, LaunchesAppendedToOneLogStayWholeAndMarked) {
    const fs::path logs = LogFolder();
    fs::remove(logs / "Taviro.log");
    fs::remove_all(logs / "Taviro.previous.log");
    for (const bool trace : {true, false, true}) {
        Child child("exits", 0, trace);
        ASSERT_TRUE(child.Started());
        ASSERT_EQ(child.Wait(), 0);
        fs::create_directories(logs / "Taviro.previous.log" / "in the way");
    }
    const std::string log = FileText(logs / "Taviro.log");
    fs::remove_all(logs / "Taviro.previous.log");
    EXPECT_EQ(LogProblems(log), std::vector<std::string>()) << log;
    EXPECT_EQ(PageProblems(log), std::vector<std::string>());
    std::size_t marks = 0;
    for (auto at = log.find(" info  ---- a new launch; "); at != std::string::npos;
         at = log.find(" info  ---- a new launch; ", at + 1)) {
        ++marks;
    }
    EXPECT_EQ(marks, 2u) << log;
    if (const char* keep = std::getenv("TAVIRO_APPENDED_LOG")) {
        std::ofstream(keep, std::ios::binary) << log;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--child") {
        return PlayUntilTheEnd(argv[2], std::atoi(argv[3]), std::string(argv[4]) == "1");
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
