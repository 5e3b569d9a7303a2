// The log's file on disk: where a launch's file starts, the previous launch's kept beside it, and
// how lines reach it. The log itself (Log.cpp) decides what is written and when.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "FilePath.h"

namespace taviro::log {

// What became of an operation on the log's file: done, or why not, the system's error included.
// The caller decides what to say of it.
struct [[nodiscard]] FileOutcome {
    enum class Problem : std::uint8_t {
        None,
        System,        // the system refused: `error` says why
        PartialWrite,  // the disk took only part of a write
        NotAFolder,    // the log's folder is a file
        NotMovable,    // a Taviro.log there that is no file could not be moved aside
    };
    Problem problem = Problem::None;
    unsigned long error = 0;

    static FileOutcome Done() { return {}; }
    static FileOutcome SystemError(unsigned long code) { return {Problem::System, code}; }
    bool Ok() const { return problem == Problem::None; }
    // In the log's words: the system's message for its error, or ours.
    std::string Text() const;
};

// A file only ever written at its end, each Append one system call with no buffer in the
// process: a process ended at any moment leaves whole appends in it, or none of the last.
class AppendFile {
public:
    AppendFile() = default;
    ~AppendFile() { Close(); }
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    // Opens `path` for appending, creating it when missing.
    FileOutcome Open(const platform::Path& path);
    bool IsOpen() const;
    // The file's size, where the next append goes; 0 when it cannot be had.
    std::uint64_t Size() const;
    // Hands the bytes to the system in one write. What a full disk took of them is taken back
    // where the system allows, so the file still ends where a line does.
    FileOutcome Append(const char* bytes, std::size_t size);
    void Close();

private:
    void* m_handle = nullptr;
    platform::Path m_path;  // for cutting back a write the disk took only part of
};

// Starts this launch's log in `folder` (created first when `create`), keeping the previous
// launch's log there as Taviro.previous.log. Where that cannot be moved aside, this launch's
// lines go after it, and `appended` says so. `path` is the file's absolute path, so that a later
// change of the process's current folder moves nothing.
FileOutcome StartLaunchFile(const platform::Path& folder, bool create, AppendFile& file,
                            platform::Path& path, bool& appended);

// Whether the file at `path` is gone: a player may delete the log while the game runs.
[[nodiscard]] bool IsRemoved(const platform::Path& path);

// A path as the log's lines show it: UTF-8, whatever the system's code page.
std::string PathText(const platform::Path& path);

}  // namespace taviro::log
