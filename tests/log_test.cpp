// The log's file as players meet it: the folder it goes to, the launch it keeps, and what it does
// when the disk, the folders or another program get in its way. In every case the plugin goes on,
// one line on standard output says what happened, and no other file is touched.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "Win32.h"
#include "hook/Trace.h"
#include "log/Log.h"
#include "settings/Settings.h"
#include "support/LogCheck.h"
#include "support/PluginFolder.h"

#ifndef _WIN32
#include <sys/resource.h>

#include <csignal>

#include "winshim/control.h"
#endif

#ifdef _WIN32
// The slot in this program's import table that every call of WriteFile goes through, the
// plugin's own included.
extern "C" decltype(&::WriteFile) __imp_WriteFile;
#endif

namespace taviro::testing {
namespace {

namespace fs = std::filesystem;

void WriteAll(const fs::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

#ifdef _WIN32
// Sends every later call of WriteFile in this program to `to`; what it was sent to before.
decltype(&::WriteFile) RouteWriteFile(decltype(&::WriteFile) to) {
    const auto was = __imp_WriteFile;
    DWORD protection = 0;
    VirtualProtect(&__imp_WriteFile, sizeof to, PAGE_READWRITE, &protection);
    __imp_WriteFile = to;
    VirtualProtect(&__imp_WriteFile, sizeof to, protection, &protection);
    return was;
}
#endif

class LogFile : public ::testing::Test {
protected:
    void TearDown() override { log::Close(); }

    fs::path Logs() const {
        return folder.Root() / "Documents" / "My Games" / "Starfield" / "SFSE" / "Logs";
    }
    std::vector<log::LogFolder> Folders() const { return {Logs(), folder.Plugins()}; }

    // Opens with standard output captured into `said`.
    bool Open(std::string& said) const {
        ::testing::internal::CaptureStdout();
        const bool opened = log::Open(Folders());
        said = ::testing::internal::GetCapturedStdout();
        return opened;
    }

    // This launch's lines, on disk, without the spaces that may fill a page's last line.
    std::string Written() const {
        const fs::path path = log::Path();
        log::Flush();
        return WithoutPagePadding(FileText(path));
    }

    PluginFolder folder;
};

TEST_F(LogFile, EachLaunchStartsAfreshAndKeepsThePreviousOneBeside) {
    std::string said;
    ASSERT_TRUE(Open(said));
    EXPECT_EQ(said, "");
    EXPECT_EQ(log::Path(), Logs() / "Taviro.log");
    log::Info("first launch");
    log::Close();
    ASSERT_TRUE(Open(said));
    log::Info("second launch");
    log::Close();

    const std::string current = FileText(Logs() / "Taviro.log");
    EXPECT_TRUE(Has(current, "info  second launch\n")) << current;
    EXPECT_FALSE(Has(current, "first launch"));
    EXPECT_TRUE(Has(FileText(Logs() / "Taviro.previous.log"), "first launch"));
    EXPECT_EQ(std::distance(fs::directory_iterator(Logs()), fs::directory_iterator()), 2);
}

TEST_F(LogFile, AFolderThatCannotBeHadSendsTheLogToThePluginFolder) {
    // A file where the log's folder should be, and one that keeps it from being created.
    for (const fs::path& blocker : {Logs(), Logs().parent_path().parent_path()}) {
        SCOPED_TRACE(blocker.string());
        fs::remove_all(folder.Root() / "Documents");
        fs::create_directories(blocker.parent_path());
        WriteAll(blocker, "a player's file");

        std::string said;
        ASSERT_TRUE(Open(said));
        EXPECT_TRUE(Has(said, "could not be used")) << said;
        EXPECT_EQ(log::Path(), folder.Plugins() / "Taviro.log");
        log::Info("the game goes on");
        const std::string written = Written();
        EXPECT_TRUE(Has(written, "could not be used")) << written;
        EXPECT_TRUE(Has(written, "the game goes on"));
        log::Close();
        EXPECT_EQ(FileText(blocker), "a player's file");
        fs::remove(folder.Plugins() / "Taviro.log");
    }
#ifndef _WIN32
    // And where the system cannot say where Documents is at all.
    winshim::SetDocumentsFolder("");
    ::testing::internal::CaptureStdout();
    const bool opened = log::Open(log::GameLogFolders());
    const std::string said = ::testing::internal::GetCapturedStdout();
    winshim::SetDocumentsFolder((folder.Root() / "Documents").string());
    ASSERT_TRUE(opened) << said;
    EXPECT_EQ(log::Path(), folder.Plugins() / "Taviro.log");
    const std::string written = Written();
    EXPECT_TRUE(Has(written,
                    "the log is here because Documents\\My Games\\Starfield\\SFSE\\Logs "
                    "could not be used (the system cannot say where Documents is"))
        << written;
#endif
}

TEST_F(LogFile, WithNoFolderAtAllThePluginRunsWithoutALog) {
    fs::create_directories(Logs().parent_path());
    WriteAll(Logs(), "a player's file");
    fs::remove_all(folder.Root() / "Data");

    std::string said;
    EXPECT_FALSE(Open(said));
    EXPECT_TRUE(Has(said, "no log file")) << said;
    EXPECT_TRUE(log::Path().empty());
    log::Info("said to nobody");
    trace::Record(1, trace::Cause::Reset, {});
    log::Flush();
    EXPECT_FALSE(fs::exists(folder.Root() / "Data"));
    EXPECT_EQ(FileText(Logs()), "a player's file");
}

TEST_F(LogFile, AReadOnlyOrLockedLogLosesNoLineOfAnyLaunch) {
    fs::create_directories(Logs());
    WriteAll(Logs() / "Taviro.log", "the last launch's lines\n");
    fs::permissions(Logs() / "Taviro.log",
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
#ifdef _WIN32
    // Another program holding the previous log open without sharing it.
    WriteAll(Logs() / "Taviro.previous.log", "an older launch's lines\n");
    HANDLE locked = CreateFileW((Logs() / "Taviro.previous.log").c_str(), GENERIC_READ, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(locked, INVALID_HANDLE_VALUE);
#endif
    std::string said;
    ASSERT_TRUE(Open(said));
    log::Info("this launch's lines");
    log::Flush();
#ifdef _WIN32
    CloseHandle(locked);
#endif
    log::Close();

    std::string everything;
    for (const fs::path& place : {Logs(), folder.Plugins()}) {
        for (const auto& entry : fs::directory_iterator(place)) {
            everything += FileText(entry.path());
        }
    }
    EXPECT_TRUE(Has(everything, "the last launch's lines")) << said;
    EXPECT_TRUE(Has(everything, "this launch's lines")) << said;
#ifdef _WIN32
    EXPECT_TRUE(Has(everything, "an older launch's lines")) << said;
#endif
    for (const fs::path& place : {Logs(), folder.Plugins()}) {
        for (const auto& entry : fs::directory_iterator(place)) {
            fs::permissions(entry.path(), fs::perms::owner_write, fs::perm_options::add);
        }
    }
}

TEST_F(LogFile, ALogDeletedWhileTheGameRunsGoesOn) {
    std::string said;
    ASSERT_TRUE(Open(said));
    log::Info("before");
    log::Flush();
    std::error_code refused;  // Windows keeps a file that is open from being deleted
    fs::remove(Logs() / "Taviro.log", refused);
    log::Info("after");
    const std::string written = Written();
    EXPECT_TRUE(Has(written, "after")) << written;
    if (!refused) {
        EXPECT_TRUE(Has(written, "was removed while the game ran")) << written;
    }
}

TEST_F(LogFile, ALaunchWritesAtMostAMebibyteAndSaysWhatItLost) {
    std::string said;
    ASSERT_TRUE(Open(said));
    // Two floods of more than the queue holds, with nobody draining, each written out before the
    // next: each says what it lost, not what all of them did.
    std::vector<std::uint64_t> lost;
    for (const int lines : {1500, 1300}) {
        const std::uint64_t before = log::Dropped();
        for (int i = 0; i < lines; ++i) {
            log::Info("%0180d", i);
        }
        lost.push_back(log::Dropped() - before);
        log::Flush();
    }
    ASSERT_GT(lost[0], 0u);
    ASSERT_GT(lost[1], 0u);
    ASSERT_NE(lost[0], lost[1]);
    const std::string flooded = Written();
    const std::string kLost = " lines were lost: they came faster than the log could take them\n";
    const auto first = flooded.find("info  " + std::to_string(lost[0]) + kLost);
    const auto second = flooded.find("info  " + std::to_string(lost[1]) + kLost);
    EXPECT_NE(first, std::string::npos) << lost[0];
    EXPECT_NE(second, std::string::npos) << lost[1];
    EXPECT_LT(first, second);

    for (int round = 0; round < 6; ++round) {
        for (int i = 0; i < 1000; ++i) {
            log::Info("%0180d", i);
        }
        log::Flush();
    }
    // Lines of every length, written in many drains: none lies across a page of the file.
    const std::string raw = FileText(log::Path());
    EXPECT_EQ(PageProblems(raw), std::vector<std::string>());
    // The limit counts every byte on disk, the page padding and the line that would cross it:
    // the last line kept ends within the mebibyte, and the stop line starts there.
    const std::size_t stop = raw.rfind('\n', raw.find("log stopped: this launch")) + 1;
    EXPECT_LE(stop, log::kLaunchLimit);
    const std::string written = Written();
    EXPECT_LE(written.size(), log::kLaunchLimit + 100);
    EXPECT_TRUE(written.ends_with(
        "log stopped: this launch has written 1 MiB, and later lines are not kept\n"));
}

// Text from a settings file, the system or another plugin may hold anything. The log stays UTF-8
// with one record per line, and shows what was there.
TEST_F(LogFile, OddTextStaysOneRecordPerLineAndShowsWhatItWas) {
    struct Row {
        const char* what;
        std::string text;
        std::string shown;
        bool fromSettings;  // the custom file's hotkey value, as the settings log quotes it
    };
    const std::string kForged = "0:00:00 trace frame=40 why=hotkey-held";
    std::string many;
    for (int i = 0; i < 150; ++i) {
        many += "\xC3\xA9";  // é
    }
    std::string cutAt207 = "\xC3\xA9";
    for (int i = 1; i < 102; ++i) {
        cutAt207 += "\xC3\xA9";
    }
    std::string wide = "a";
    for (int i = 0; i < 100; ++i) {
        wide += "\xE6\x97\xA5";  // 日, three bytes
    }
    const std::vector<Row> rows = {
        {"form feed forging a trace line", "x\x0C" + kForged, "=\"x\\x0C" + kForged, true},
        {"form feed, straight", "x\x0C" + kForged, "x\\x0C" + kForged, false},
        {"vertical tab, CR, LF, tab",
         "a\x0B"
         "b\rc\nd\te",
         "a\\x0Bb\\x0Dc\\x0Ad\\x09e", false},
        {"escape, bell, file separator, DEL", "\x1B[31mred\x07\x1C\x7F",
         "\\x1B[31mred\\x07\\x1C\\x7F", false},
        {"C1 controls: NEL, CSI",
         "a\xC2\x85"
         "b\xC2\x9B"
         "c",
         "a\\u0085b\\u009Bc", false},
        {"line and paragraph separators",
         "a\xE2\x80\xA8"
         "b\xE2\x80\xA9"
         "c",
         "a\\u2028b\\u2029c", false},
        {"a direction override",
         "abc\xE2\x80\xAE"
         "fed",
         "abc\\u202Efed", false},
        {"CP1252 e acute in the custom file", "caf\xE9", "=\"caf\\xE9\"", true},
        {"overlong, surrogate, cut short", "\xC0\xAF|\xED\xA0\x80|\xE2\x80",
         "\\xC0\\xAF|\\xED\\xA0\\x80|\\xE2\\x80\n", false},
        {"UTF-8 kept as it is", "Dokumente \xE2\x80\x93 \xC3\x9C \xE6\x97\xA5 \xF0\x9F\x9A\x97",
         "Dokumente \xE2\x80\x93 \xC3\x9C \xE6\x97\xA5 \xF0\x9F\x9A\x97\n", false},
        {"two-byte characters past the record's size", many, "info  " + cutAt207 + "...\n", false},
        {"three-byte characters past the record's size", wide,
         "info  a" + wide.substr(1, 3 * 67) + "...\n", false},
        {"a quoted value cut inside a character",
         "0x" + std::string(37, 'a') + "\xE6\x97\xA5\xE6\x9C\xAC",
         "=\"0x" + std::string(37, 'a') + "...\"", true},
        {"a quoted value cut right after a whole character",
         "0x" + std::string(35, 'a') + "\xE6\x97\xA5\xE6\x9C\xAC",
         "=\"0x" + std::string(35, 'a') + "\xE6\x97\xA5...\"", true},
    };
    std::string said;
    ASSERT_TRUE(Open(said));
    for (const Row& row : rows) {
        if (row.fromSettings) {
            folder.WriteFile("TaviroCustom.ini",
                             "[Settings]\r\niHandbrakeHotkey=" + row.text + "\r\n");
            LogSettings(LoadSettings());
        } else {
            log::Info("%s", row.text.c_str());
        }
    }
    const std::string written = Written();
    EXPECT_EQ(LogProblems(written), std::vector<std::string>()) << written;
    for (const Row& row : rows) {
        EXPECT_TRUE(Has(written, row.shown)) << row.what << "\n" << written;
    }
}

// The plugin folder is named relative to the game's folder; the game may change its current
// folder later, and the log must not follow.
TEST_F(LogFile, AChangeOfCurrentFolderNeitherMovesNorStopsTheLog) {
    ASSERT_TRUE(log::Open({fs::path("Data") / "SFSE" / "Plugins"}));
    log::Info("before the change");
    log::Flush();
    const fs::path elsewhere = folder.Root() / "elsewhere";
    fs::create_directories(elsewhere);
    fs::current_path(elsewhere);
    ::testing::internal::CaptureStdout();
    log::Info("after the change");
    const std::string written = Written();
    const std::string said = ::testing::internal::GetCapturedStdout();
    fs::current_path(folder.Root());

    EXPECT_EQ(log::Path(), folder.Plugins() / "Taviro.log");
    EXPECT_TRUE(Has(written, "before the change")) << written;
    EXPECT_TRUE(Has(written, "after the change")) << written << said;
    EXPECT_FALSE(Has(written, "was removed")) << written;
    EXPECT_EQ(said, "");
    EXPECT_TRUE(fs::is_empty(elsewhere));
}

// A disk that takes the log's file up to `limit` bytes and no further. Natively a file-size
// limit on this process, past which a write fails instead of ending the process. On Windows the
// system's own WriteFile, reached through the import slot every call of the plugin's goes
// through, takes what still fits of a write and fails it with ERROR_DISK_FULL, saying how much
// it took.
class FillingDisk {
public:
    explicit FillingDisk(std::uint64_t limit) {
#ifdef _WIN32
        s_limit = limit;
        s_system = RouteWriteFile(&WriteUpToTheLimit);
#else
        getrlimit(RLIMIT_FSIZE, &m_previous);
        m_handler = std::signal(SIGXFSZ, SIG_IGN);
        const rlimit full{static_cast<rlim_t>(limit), m_previous.rlim_max};
        setrlimit(RLIMIT_FSIZE, &full);
#endif
    }
    ~FillingDisk() {
#ifdef _WIN32
        RouteWriteFile(s_system);
#else
        setrlimit(RLIMIT_FSIZE, &m_previous);
        std::signal(SIGXFSZ, m_handler);
#endif
    }
    FillingDisk(const FillingDisk&) = delete;
    FillingDisk& operator=(const FillingDisk&) = delete;

private:
#ifdef _WIN32
    static BOOL WINAPI WriteUpToTheLimit(HANDLE file, LPCVOID bytes, DWORD size, LPDWORD written,
                                         LPOVERLAPPED overlapped) {
        LARGE_INTEGER end{};
        GetFileSizeEx(file, &end);
        const auto room = static_cast<std::uint64_t>(end.QuadPart) < s_limit
                              ? s_limit - static_cast<std::uint64_t>(end.QuadPart)
                              : 0;
        if (size <= room) {
            return s_system(file, bytes, size, written, overlapped);
        }
        DWORD taken = 0;
        if (room > 0) {
            s_system(file, bytes, static_cast<DWORD>(room), &taken, overlapped);
        }
        *written = taken;
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    }
    static inline std::uint64_t s_limit = 0;
    static inline decltype(&::WriteFile) s_system = nullptr;
#else
    rlimit m_previous{};
    void (*m_handler)(int) = nullptr;
#endif
};

TEST_F(LogFile, AFullDiskStopsTheLogAndNothingElse) {
    std::string said;
    ASSERT_TRUE(Open(said));
    log::Info("before the disk fills");
    log::Flush();
    const auto size = fs::file_size(Logs() / "Taviro.log");
    {
        FillingDisk disk(size + 200);
        ::testing::internal::CaptureStdout();
        for (int i = 0; i < 60; ++i) {
            log::Info("line %d of a log that outgrows its disk", i);
        }
        log::Flush();
        said = ::testing::internal::GetCapturedStdout();
    }
    EXPECT_TRUE(Has(said, "the log stops here")) << said;
    EXPECT_TRUE(log::Path().empty());
    log::Info("after the disk filled");
    log::Flush();
    EXPECT_LE(fs::file_size(Logs() / "Taviro.log"), size + 200);
    // What the disk took of the last write is taken back: the file ends with a whole line.
    const std::string written = FileText(Logs() / "Taviro.log");
    EXPECT_TRUE(Has(written, "before the disk fills")) << written;
    EXPECT_EQ(LogProblems(written), std::vector<std::string>()) << written;
}

#ifdef _WIN32
// At ExitProcess, Windows ends the log's writer wherever it is, holding its lock in the middle of
// a drain, before the plugin's exit code runs: most often in a write, which Windows ends as the
// system call returns. Here the writer is ended by hand at one such moment, with lines in its
// batch and more queued, and the program then ends: the exit takes up the batch and writes what
// is queued, each line once, and none across a page of the file.
constexpr wchar_t kStuckFolderVariable[] = L"TAVIRO_STUCK_WRITER_FOLDER";
HANDLE stuckWriterEntered = nullptr;
std::atomic<HANDLE> stuckWriter{nullptr};

// The writer stops here for good, once the program knows which thread to end.
[[noreturn]] void StopTheWriter() {
    HANDLE self = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self,
                    THREAD_TERMINATE | SYNCHRONIZE, FALSE, 0);
    stuckWriter.store(self);
    SetEvent(stuckWriterEntered);
    for (;;) {
        Sleep(INFINITE);
    }
}

void StuckWords(char*, std::size_t) {
    StopTheWriter();
}
constinit log::OnceReport stuckReport{&StuckWords};

// Where the writer is ended: wording a once-only report, or in its next write, before the system
// has the bytes or after.
enum class Moment { InWords, BeforeWrite, AfterWrite };
std::atomic<bool> writeArmed{false};
Moment writeMoment = Moment::InWords;
decltype(&::WriteFile) systemWriteFile = nullptr;

BOOL WINAPI WriteFileThenStop(HANDLE file, LPCVOID bytes, DWORD size, LPDWORD written,
                              LPOVERLAPPED overlapped) {
    const bool armed = writeArmed.exchange(false);
    if (armed && writeMoment == Moment::BeforeWrite) {
        StopTheWriter();
    }
    const BOOL done = systemWriteFile(file, bytes, size, written, overlapped);
    if (armed) {
        StopTheWriter();
    }
    return done;
}

void EndWithTheWriterEnded(const fs::path& plugins, Moment moment) {
    stuckWriterEntered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!log::Open({plugins})) {
        std::exit(2);
    }
    log::StartWriter();
    // The file no longer ends at a page's start, so a wrong count of its size shows.
    log::Info("written before");
    log::Flush();
    for (int i = 0; i < 5; ++i) {
        log::Info("formatted before the writer was ended, %d", i);
    }
    if (moment == Moment::InWords) {
        log::RaiseOnce(stuckReport);
    } else {
        writeMoment = moment;
        systemWriteFile = RouteWriteFile(&WriteFileThenStop);
        writeArmed.store(true);
    }
    log::Error("this wakes the writer");
    if (WaitForSingleObject(stuckWriterEntered, 10000) != WAIT_OBJECT_0) {
        std::exit(3);
    }
    // Pages of them.
    for (int i = 0; i < 150; ++i) {
        log::Info("queued while the writer was stuck, %d", i);
    }
    TerminateThread(stuckWriter.load(), 0);
    WaitForSingleObject(stuckWriter.load(), 10000);
    std::exit(0);  // the plugin's exit code runs, with the lock held by a thread that is gone
}

// The death test's child runs the test again, in the folder its parent made.
void ExpectTheExitToTakeUpTheBatch(Moment moment) {
    std::unique_ptr<PluginFolder> made;
    wchar_t inherited[1024] = {};
    if (GetEnvironmentVariableW(kStuckFolderVariable, inherited, 1024) == 0) {
        made = std::make_unique<PluginFolder>();
        SetEnvironmentVariableW(kStuckFolderVariable, made->Plugins().c_str());
    }
    const fs::path plugins = made ? made->Plugins() : fs::path(inherited);
    EXPECT_EXIT(EndWithTheWriterEnded(plugins, moment), ::testing::ExitedWithCode(0), "");
    SetEnvironmentVariableW(kStuckFolderVariable, nullptr);

    const std::string written = FileText(plugins / "Taviro.log");
    EXPECT_EQ(LogProblems(written), std::vector<std::string>()) << written;
    EXPECT_EQ(PageProblems(written), std::vector<std::string>());
    // Each line's words after its time.
    std::map<std::string, int> said;
    std::istringstream text(WithoutPagePadding(written));
    for (std::string line; std::getline(text, line);) {
        ++said[line.substr(std::min<std::size_t>(line.size(), 13))];
    }
    std::vector<std::string> lines = {"info  written before", "error this wakes the writer"};
    for (int i = 0; i < 5; ++i) {
        lines.push_back("info  formatted before the writer was ended, " + std::to_string(i));
    }
    for (int i = 0; i < 150; ++i) {
        lines.push_back("info  queued while the writer was stuck, " + std::to_string(i));
    }
    for (const std::string& line : lines) {
        EXPECT_EQ(said[line], 1) << line << "\n" << written;
    }
}

TEST(LogAtExit, TakesUpTheBatchOfAWriterEndedHoldingItsLock) {
    ExpectTheExitToTakeUpTheBatch(Moment::InWords);
}

TEST(LogAtExit, TakesUpABatchTheWriterWasEndedBeforeWriting) {
    ExpectTheExitToTakeUpTheBatch(Moment::BeforeWrite);
}

TEST(LogAtExit, CountsTheWriteTheWriterWasEndedRightAfter) {
    ExpectTheExitToTakeUpTheBatch(Moment::AfterWrite);
}
#endif

}  // namespace
}  // namespace taviro::testing
