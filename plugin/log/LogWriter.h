// The log's inside, shared by the files that make it up and by nothing else of the plugin: the
// records the queue carries, the batch of lines on its way to the file, and the writer that owns
// both. Log.cpp is the writer and the log's face; LogRecord.cpp words a record as its line;
// LogBatch.cpp lays lines out in the file's pages; LogOnce.cpp keeps the once-only reports;
// LogExit.cpp writes what is left as the process ends.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>

#include "Report.h"
#include "log/Log.h"
#include "log/LogFile.h"
#include "log/LogQueue.h"

namespace taviro::log::detail {

enum class Kind : std::uint8_t { Info, Error, Deferred };

constexpr std::size_t kTextSize = 208;

struct Record {
    std::int64_t time = 0;  // nanoseconds since the epoch
    Kind kind = Kind::Info;
    DeferredWords words = nullptr;  // Deferred: what makes the line of the payload in `text`
    // Info and Error: the words, escaped already (printable UTF-8). Deferred: the payload.
    alignas(8) char text[kTextSize] = {};
};
static_assert(kPayloadSize <= kTextSize);

// What producers touch: constant-initialised, never destroyed, free of locks.
constexpr std::size_t kQueueCapacity = 1024;
using Queue = BoundedQueue<Record, kQueueCapacity>;
extern Queue queue;
extern std::atomic<bool> accepting;
extern std::atomic<std::uint64_t> droppedCount;

// No write crosses a page of the file, and no line lies across two: Linux stops a write at a
// page boundary when the process is killed (Wine's TerminateProcess kills the same way), which
// would leave half a line. A line that would cross is moved to the next page by padding the
// line before it with spaces. One page is also one system write's worth of lines.
constexpr std::size_t kPage = 4096;
constexpr std::size_t kBatchSize = kPage;
constexpr std::size_t kLongestLine = 512;  // FormatRecord's buffer

// The lines formatted since the last hand-over to the system. `mark` says in one word how far
// they go, the queue position after their last record, and whether the system has been handed
// them: at ExitProcess, Windows stops the writer wherever it is before the library's exit code
// runs, and the mark tells that code what it may still write without writing a line twice.
struct Batch {
    static constexpr std::uint64_t kLengthMask = 0xFFFF;
    static constexpr std::uint64_t kHandedOver = 1u << 16;
    static constexpr int kPositionShift = 17;
    static_assert(kBatchSize <= kLengthMask);

    char bytes[kBatchSize];
    std::size_t length = 0;
    std::atomic<std::uint64_t> mark{0};

    void Mark(std::size_t taken, bool handedOver) {
        mark.store(length | (handedOver ? kHandedOver : 0) |
                       (static_cast<std::uint64_t>(taken) << kPositionShift),
                   std::memory_order_release);
    }
    std::size_t Taken() const {
        return static_cast<std::size_t>(mark.load(std::memory_order_acquire) >> kPositionShift);
    }
};

// What only the writing side touches.
struct Writer {
    std::mutex mutex;  // one drainer at a time; guards everything below up to the wake-up
    AppendFile file;
    platform::Path path;       // absolute
    std::uint64_t offset = 0;  // where the batch goes: the file's size
    // Where the batch last handed over went: the exit, taking up a writer ended mid-write, finds
    // from the file's size whether that write reached the file.
    std::uint64_t handedAt = 0;
    std::uint64_t written = 0;
    std::uint64_t droppedReported = 0;
    bool limitReached = false;
    Batch batch;

    std::mutex wakeMutex;
    std::condition_variable wake;
    std::atomic<bool> stopRequested{false};  // set under wakeMutex, except at exit
    bool running = false;                    // guarded by wakeMutex: the thread has not returned
    std::atomic<void*> thread{nullptr};      // Windows: the writer thread, to tell at exit it ended
};

// Never destroyed: the background thread may still be draining while the process ends and runs
// the library's destructors. `writerMade` says whether it was ever made.
Writer& TheWriter();
extern std::atomic<bool> writerMade;

// --- Records and their lines (LogRecord.cpp) ---

std::int64_t Now();
std::tm LocalTime(std::int64_t nanoseconds);
// The words, escaped and cut to the record's size.
void SetText(Record& record, const char* fmt, va_list args);
// "HH:MM:SS.mmm kind " and the record's words, with a newline; the length, or 0 on a failure.
std::size_t FormatRecord(const Record& record, char* line, std::size_t size);

// --- The batch and the file's pages (LogBatch.cpp); all with w.mutex held ---

void AddRecord(Writer& w, const Record& record, std::size_t taken);
void WriteInfo(Writer& w, const char* fmt, ...) TAVIRO_PRINTF_FORMAT(2, 3);
// Hands the batch to the system in one write.
void HandOver(Writer& w);
// The log ends, calmly: the game goes on, one line says so where someone may see it.
void GiveUp(Writer& w, const char* what, const FileOutcome& why);

// --- Once-only reports (LogOnce.cpp) ---

// Once-only reports raised since the last drain, worded now. With w.mutex held.
void WriteOnceReports(Writer& w);

// --- The writer (Log.cpp) ---

// Everything queued, and what is due besides, into the file. With w.mutex held.
void Drain(Writer& w);

// --- The exit (LogExit.cpp) ---

// The writer thread makes itself known, so that the exit can tell whether it was ended; and is
// forgotten once it has returned. The exit's own code lives with these, so every binary that
// runs a writer has it.
void NoteWriterThread(Writer& w);
void ForgetWriterThread(Writer& w);

}  // namespace taviro::log::detail
