// The log's file as players meet it: the folder it goes to, the launch it keeps, and what it does
// when the disk, the folders or another program get in its way. In every case the plugin goes on,
// one line on standard output says what happened, and no other file is touched.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Log.h"
#include "Win32.h"
#include "support/PluginFolder.h"

#ifndef _WIN32
#include <sys/resource.h>

#include <csignal>
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

class LogFile : public ::testing::Test {
protected:
    void TearDown() override { log::Close(); }

    fs::path Logs() const {
        return folder.Root() / "Documents" / "My Games" / "Starfield" / "SFSE" / "Logs";
    }
    std::vector<fs::path> Folders() const { return {Logs(), folder.Plugins()}; }

    // Opens with standard output captured into `said`.
    bool Open(std::string& said) const {
        ::testing::internal::CaptureStdout();
        const bool opened = log::Open(Folders());
        said = ::testing::internal::GetCapturedStdout();
        return opened;
    }

    // This launch's lines, on disk.
    std::string Written() const {
        const fs::path path = log::Path();
        log::Flush();
        return FileText(path);
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
    log::Trace(1, log::Cause::Reset, {});
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
    for (const fs::path& place : Folders()) {
        for (const auto& entry : fs::directory_iterator(place)) {
            everything += FileText(entry.path());
        }
    }
    EXPECT_TRUE(Has(everything, "the last launch's lines")) << said;
    EXPECT_TRUE(Has(everything, "this launch's lines")) << said;
#ifdef _WIN32
    EXPECT_TRUE(Has(everything, "an older launch's lines")) << said;
#endif
    for (const fs::path& place : Folders()) {
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
    const std::uint64_t droppedBefore = log::Dropped();
    // More than the queue holds, with nobody draining it.
    for (int i = 0; i < 1500; ++i) {
        log::Info("%0180d", i);
    }
    EXPECT_GT(log::Dropped(), droppedBefore);
    EXPECT_TRUE(Has(Written(), "lines were lost: they came faster than the log could take them"));

    for (int round = 0; round < 6; ++round) {
        for (int i = 0; i < 1000; ++i) {
            log::Info("%0180d", i);
        }
        log::Flush();
    }
    const std::string written = Written();
    EXPECT_LE(written.size(), log::kLaunchLimit + 100);
    EXPECT_TRUE(written.ends_with(
        "log stopped: this launch has written 1 MiB, and later lines are not kept\n"));
}

#ifndef _WIN32
// Only natively: a file-size limit on this process stands in for a full disk.
TEST_F(LogFile, AFullDiskStopsTheLogAndNothingElse) {
    std::string said;
    ASSERT_TRUE(Open(said));
    log::Info("before the disk fills");
    log::Flush();
    const auto size = fs::file_size(Logs() / "Taviro.log");

    rlimit previous{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
    const auto handler = std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails instead
    const rlimit full{static_cast<rlim_t>(size + 200), previous.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);
    ::testing::internal::CaptureStdout();
    for (int i = 0; i < 60; ++i) {
        log::Info("line %d of a log that outgrows its disk", i);
    }
    log::Flush();
    said = ::testing::internal::GetCapturedStdout();
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, handler);

    EXPECT_TRUE(Has(said, "the log stops here")) << said;
    EXPECT_TRUE(log::Path().empty());
    log::Info("after the disk filled");
    log::Flush();
    EXPECT_LE(fs::file_size(Logs() / "Taviro.log"), size + 200);
}
#endif

}  // namespace
}  // namespace taviro::testing
