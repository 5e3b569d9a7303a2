// Taviro.log: what the plugin did and why, in the folder where the script extender's plugins keep
// their logs, for players to attach to a bug report.
//
// Every line goes through a fixed-size lock-free queue that one writer drains, so no caller ever
// waits for the file or touches the heap to say something: the hook may log from the game's own
// thread. The writer is a background thread once the game's data has loaded; before that, and
// whenever a caller needs its lines on disk now, Flush writes them on the caller's thread.
//
// Each drain hands its lines to the system in appends of whole lines, so the file holds whole
// lines whatever moment the process ends at, and what is still queued at a normal exit reaches
// the file then. Text from outside (settings, paths, reports) is escaped on its way in: the file
// is UTF-8 with one record per line.
//
// When no log could be opened, every call is a cheap no-op and the plugin runs as without one.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "FilePath.h"
#include "Report.h"

namespace taviro::log {

inline constexpr char kFileName[] = "Taviro.log";
inline constexpr char kPreviousFileName[] = "Taviro.previous.log";
// What one launch may write; a line then says the log stopped.
inline constexpr std::uint64_t kLaunchLimit = 1u << 20;

// A folder the log may go to, or, with `unusable` set, one that could not even be named (and
// why): the log that goes elsewhere says so.
struct LogFolder {
    LogFolder(const platform::Path& folder) : path(folder) {}  // NOLINT: implicit
    LogFolder(const platform::Path& folder, const std::string& why) : path(folder), unusable(why) {}
    // Any path type that gives its wide form, as std::filesystem's does for tests and tools.
    template <class PathLike, class Wide = decltype(std::declval<const PathLike&>().wstring())>
    LogFolder(const PathLike& folder) : path(folder.wstring()) {}  // NOLINT: implicit
    platform::Path path;
    std::string unusable;
};

// <Documents>\My Games\Starfield\SFSE\Logs, then Data\SFSE\Plugins under the game's folder.
// The first is marked unusable when the shell cannot say where Documents is.
std::vector<LogFolder> GameLogFolders();

// Starts this launch's log in the first of `folders` that takes it (creating the folder when
// missing), keeping the previous launch's log there as kPreviousFileName. The file is known by
// its absolute path from here on. False, with one line on standard output, when none does. A
// log already open is kept.
bool Open(const std::vector<LogFolder>& folders);

// The file being written, empty when there is none.
platform::Path Path();

// A line that is always written. Errors reach the file at once; other lines within a second.
void Info(const char* fmt, ...) TAVIRO_PRINTF_FORMAT(1, 2);
void Error(const char* fmt, ...) TAVIRO_PRINTF_FORMAT(1, 2);

// A line worded by the writer rather than its caller, for a caller that may neither format nor
// allocate (the hook): the caller's `payload`, at most kPayloadSize bytes, travels as it is, and
// when the writer drains it, `words` turns it into the line's label (at most five letters, as
// "info") and its text. The log keeps the bytes and calls the function; what they mean is the
// caller's.
inline constexpr std::size_t kPayloadSize = 64;
using DeferredWords = const char* (*)(const void* payload, char* text, std::size_t size);
void Deferred(DeferredWords words, const void* payload, std::size_t size) noexcept;

// An error said at most once per process, raised from a thread that may not format, wait or
// wake anyone (the hook): raising only marks it, and the writer words it with `words` when it
// next drains. It needs no room in the queue, so a full queue loses it not; it is kept until
// written. Meant to be a constant-initialised static.
struct OnceReport {
    void (*words)(char* text, std::size_t size);
    std::atomic<bool> raised{false};
    std::atomic<std::int64_t> time{0};
};
void RaiseOnce(OnceReport& report) noexcept;

// The line the log ends with when the process ends normally, worded by `words` at that moment,
// after every line queued before it: the plugin says there how many frames the hook saw, so a
// reader of the trace knows how long its last state lasted. A process killed, or ended without
// its libraries' exit code, leaves none. Null (the start) writes none.
void SetClosingLine(void (*words)(char* text, std::size_t size));

// Starts the background writer; later calls do nothing.
void StartWriter();

// Writes everything queued so far, on the calling thread.
void Flush();

// Stops the writer, writes what is left and closes the file, so that a new Open starts afresh.
void Close();

// Lines lost because the queue was full, since the process started.
std::uint64_t Dropped();

}  // namespace taviro::log
