#include "Log.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "FilePath.h"
#include "LogQueue.h"
#include "Win32.h"

namespace taviro::log {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::system_clock;

// How long the writer sleeps between looks at the queue: lines reach the file well within a
// second, so a crash loses little, and an idle game costs a wake-up five times a second.
constexpr auto kWriterPeriod = std::chrono::milliseconds(200);

enum class Kind : std::uint8_t { Info, Error, Trace };

constexpr std::size_t kTextSize = 208;

struct Record {
    std::int64_t time = 0;  // nanoseconds since the epoch
    std::uint64_t frame = 0;
    Kind kind = Kind::Info;
    Cause cause = Cause::NoUi;
    TraceState state{};
    char text[kTextSize] = {};
};

// What producers touch: constant-initialised, never destroyed, free of locks.
constexpr std::size_t kQueueCapacity = 1024;
constinit BoundedQueue<Record, kQueueCapacity> queue;
constinit std::atomic<bool> accepting{false};
constinit std::atomic<std::uint64_t> droppedCount{0};
constinit std::atomic<bool> errorWaiting{false};

// What only the writing side touches.
struct Writer {
    std::mutex mutex;  // one drainer at a time; guards everything below up to the wake-up
    std::FILE* file = nullptr;
    fs::path path;
    std::uint64_t written = 0;
    std::uint64_t droppedReported = 0;
    bool limitReached = false;

    std::mutex wakeMutex;
    std::condition_variable wake;
    bool stopRequested = false;  // guarded by wakeMutex, as is:
    bool running = false;        // the writer thread has not yet returned
};

constinit std::atomic<bool> writerMade{false};

// Never destroyed: the background thread may still be draining while the process ends and runs
// the library's destructors.
Writer& TheWriter() {
    alignas(Writer) static unsigned char storage[sizeof(Writer)];
    static Writer* writer = [] {
        Writer* made = new (storage) Writer;
        writerMade.store(true);
        return made;
    }();
    return *writer;
}

std::int64_t Now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

void Push(const Record& record) {
    if (!queue.TryPush(record)) {
        droppedCount.fetch_add(1, std::memory_order_relaxed);
    }
}

void PushText(Kind kind, const char* fmt, va_list args) {
    if (!accepting.load(std::memory_order_acquire)) {
        return;
    }
    Record record;
    record.time = Now();
    record.kind = kind;
    std::vsnprintf(record.text, sizeof record.text, fmt, args);
    Push(record);
    if (kind == Kind::Error) {
        errorWaiting.store(true);
        TheWriter().wake.notify_all();
    }
}

// Lines the script extender's reporting function writes reach the log too.
void CopyReport(const char* line) {
    Info("%s", line);
}

std::tm LocalTime(std::int64_t nanoseconds) {
    const auto seconds = static_cast<std::time_t>(nanoseconds / 1'000'000'000);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    return local;
}

// "HH:MM:SS.mmm kind " and the record's words, with a newline; the length, or 0 on a failure.
std::size_t FormatRecord(const Record& record, char* line, std::size_t size) {
    const std::tm local = LocalTime(record.time);
    const auto millis = static_cast<int>((record.time / 1'000'000) % 1000);
    int length = 0;
    if (record.kind != Kind::Trace) {
        length = std::snprintf(line, size, "%02d:%02d:%02d.%03d %-5s %s\n", local.tm_hour,
                               local.tm_min, local.tm_sec, millis,
                               record.kind == Kind::Error ? "error" : "info", record.text);
    } else {
        const TraceState& s = record.state;
        const bool event = record.cause >= Cause::ExitVehicle;
        length = std::snprintf(
            line, size,
            "%02d:%02d:%02d.%03d %-5s frame=%llu %s%s handbrake=%s stage=%d warmup=%u exit=%s "
            "activation=%s window=%d\n",
            local.tm_hour, local.tm_min, local.tm_sec, millis, event ? "event" : "trace",
            static_cast<unsigned long long>(record.frame),
            event ? "" : "why=", CauseName(record.cause), s.engaged ? "engaged" : "released",
            s.stage, static_cast<unsigned>(s.warmup), s.exitWindow ? "open" : "closed",
            s.activationWindow ? "open" : "closed", s.window);
    }
    if (length <= 0) {
        return 0;
    }
    return std::min(static_cast<std::size_t>(length), size - 1);
}

// The log ends, calmly: the game goes on, one line says so where someone may see it.
void GiveUp(Writer& w, const char* what, int error) {
    std::fprintf(stdout, "Taviro: %s %s failed (%s); the log stops here\n", what,
                 w.path.string().c_str(), std::strerror(error));
    std::fflush(stdout);
    if (w.file != nullptr) {
        std::fclose(w.file);
        w.file = nullptr;
    }
    accepting.store(false);
}

void WriteText(Writer& w, const char* text, std::size_t length) {
    if (w.file == nullptr || w.limitReached) {
        return;
    }
    if (w.written + length > kLaunchLimit) {
        static constexpr char kStopped[] =
            "log stopped: this launch has written 1 MiB, and later lines are not kept\n";
        w.limitReached = true;
        text = kStopped;
        length = sizeof kStopped - 1;
    }
    if (std::fwrite(text, 1, length, w.file) != length) {
        GiveUp(w, "writing", errno);
        return;
    }
    w.written += length;
}

void WriteRecord(Writer& w, const Record& record) {
    char line[512];
    WriteText(w, line, FormatRecord(record, line, sizeof line));
}

void WriteInfo(Writer& w, const char* fmt, ...) TAVIRO_PRINTF_FORMAT(2, 3);
void WriteInfo(Writer& w, const char* fmt, ...) {
    Record record;
    record.time = Now();
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(record.text, sizeof record.text, fmt, args);
    va_end(args);
    WriteRecord(w, record);
}

// A player may delete the log while the game runs; our lines would then go nowhere, so the log
// starts again under its name.
void ReopenIfRemoved(Writer& w) {
    std::error_code error;
    if (w.file == nullptr || fs::exists(w.path, error) || error) {
        return;
    }
    std::FILE* file = platform::OpenFile(w.path, "ab");
    if (file == nullptr) {
        GiveUp(w, "reopening", errno);
        return;
    }
    std::fclose(w.file);
    w.file = file;
    WriteInfo(w, "%s was removed while the game ran; the log goes on in a new file", kFileName);
}

// With w.mutex held.
void Drain(Writer& w) {
    ReopenIfRemoved(w);
    Record record;
    bool wrote = false;
    while (queue.TryPop(record)) {
        WriteRecord(w, record);
        wrote = true;
    }
    const std::uint64_t dropped = droppedCount.load();
    if (dropped != w.droppedReported) {
        WriteInfo(w, "%llu lines were lost: they came faster than the log could take them",
                  static_cast<unsigned long long>(dropped - w.droppedReported));
        w.droppedReported = dropped;
        wrote = true;
    }
    if (wrote && w.file != nullptr && std::fflush(w.file) != 0) {
        GiveUp(w, "writing", errno);
    }
}

void RunWriter(Writer& w) {
    for (;;) {
        {
            std::unique_lock lock(w.wakeMutex);
            w.wake.wait_for(lock, kWriterPeriod,
                            [&] { return w.stopRequested || errorWaiting.load(); });
            errorWaiting.store(false);
            if (w.stopRequested) {
                w.running = false;
                w.wake.notify_all();
                return;
            }
        }
        std::lock_guard lock(w.mutex);
        Drain(w);
    }
}

// Starts the launch's file in `folder`. Empty on success, else why not.
std::string OpenIn(Writer& w, const fs::path& folder, bool create) {
    std::error_code error;
    if (create) {
        fs::create_directories(folder, error);
    }
    if (!fs::is_directory(folder, error)) {
        return error ? error.message() : "not a folder";
    }
    const fs::path file = folder / kFileName;
    // The previous launch's log is kept beside this one. Where it cannot be moved aside, this
    // launch's lines go after it rather than over it.
    bool append = false;
    if (fs::exists(fs::symlink_status(file, error))) {
        fs::rename(file, folder / kPreviousFileName, error);
        append = static_cast<bool>(error);
        // Opening anything but a regular file could block (a pipe) or fail oddly (a folder).
        if (append && !fs::is_regular_file(fs::symlink_status(file, error))) {
            return "Taviro.log there is not a file and could not be moved aside";
        }
    }
    std::FILE* opened = platform::OpenFile(file, append ? "ab" : "wb");
    if (opened == nullptr) {
        return std::strerror(errno);
    }
    w.file = opened;
    w.path = file;
    w.written = 0;
    w.limitReached = false;
    w.droppedReported = droppedCount.load();
    if (append) {
        WriteInfo(w, "---- a new launch; %s could not be kept aside, so this log goes on here",
                  kPreviousFileName);
    }
    return {};
}

struct FinalFlush {
    // Lines still queued when the process ends reach the file if nobody holds it, and the writer
    // is asked to stop, since what it writes to may go with the process. At exit the writer may
    // have been stopped anywhere, so this never waits for it.
    ~FinalFlush() {
        if (!writerMade.load()) {
            return;
        }
        Writer& w = TheWriter();
        if (w.wakeMutex.try_lock()) {
            w.stopRequested = true;
            w.wakeMutex.unlock();
            w.wake.notify_all();
        }
        if (w.mutex.try_lock()) {
            Drain(w);
            w.mutex.unlock();
        }
    }
} finalFlush;

}  // namespace

const char* CauseName(Cause cause) {
    // In the order of the enumeration: what the trace lines and the timeline read.
    static constexpr const char* kNames[] = {"no-ui-yet",
                                             "fade",
                                             "load-screen",
                                             "warm-up",
                                             "tracked-object-not-ready",
                                             "game-flag",
                                             "hotkey-held",
                                             "hotkey-let-go",
                                             "reset-path",
                                             "counting:update-float-zero",
                                             "counting:float1-nonzero",
                                             "counting:exit-window",
                                             "counting:activation-window",
                                             "exit-vehicle",
                                             "activation-matched",
                                             "credits-closed",
                                             "game-loaded"};
    static_assert(std::size(kNames) == static_cast<std::size_t>(Cause::GameLoaded) + 1);
    const auto index = static_cast<std::size_t>(cause);
    return index < std::size(kNames) ? kNames[index] : "?";
}

std::vector<fs::path> GameLogFolders() {
    std::vector<fs::path> folders;
    PWSTR documents = nullptr;
    // Documents is often redirected (to a cloud folder, another drive), so only the shell knows
    // where it is; the user profile path would be wrong for those players.
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_Documents, KF_FLAG_DEFAULT, nullptr, &documents)) &&
        documents != nullptr) {
        try {
            folders.push_back(platform::PathFromWide(documents) / "My Games" / "Starfield" /
                              "SFSE" / "Logs");
        } catch (const std::exception&) {
            // A name the file system cannot take: the plugin folder will do.
        }
    }
    CoTaskMemFree(documents);
    folders.push_back(fs::path(platform::NativeFilePath(".\\Data\\SFSE\\Plugins")));
    return folders;
}

bool Open(const std::vector<fs::path>& folders) {
    Writer& w = TheWriter();
    std::lock_guard lock(w.mutex);
    if (w.file != nullptr) {
        return true;
    }
    Record stale;
    while (queue.TryPop(stale)) {
        // Lines from before this log: nobody asked for them to be kept.
    }
    std::string reasons;
    for (std::size_t i = 0; i < folders.size(); ++i) {
        // Only the first folder is ours to create; the plugin folder is there when the plugin
        // is installed, and making one elsewhere would only hide a broken installation.
        const std::string why = OpenIn(w, folders[i], i == 0 && folders.size() > 1);
        if (why.empty()) {
            const std::tm today = LocalTime(Now());
            WriteInfo(w, "%s, started %04d-%02d-%02d; times are the computer's local time",
                      kFileName, today.tm_year + 1900, today.tm_mon + 1, today.tm_mday);
            accepting.store(true, std::memory_order_release);
            SetReportSink(&CopyReport);
            if (!reasons.empty()) {
                WriteInfo(w, "the log is here because%s", reasons.c_str());
                std::fprintf(stdout, "Taviro: the log is %s because%s\n", w.path.string().c_str(),
                             reasons.c_str());
                std::fflush(stdout);
            }
            return true;
        }
        reasons += " " + folders[i].string() + " could not be used (" + why + ");";
    }
    std::fprintf(stdout, "Taviro: no log file:%s the plugin runs without one\n", reasons.c_str());
    std::fflush(stdout);
    return false;
}

fs::path Path() {
    Writer& w = TheWriter();
    std::lock_guard lock(w.mutex);
    return w.file != nullptr ? w.path : fs::path();
}

void Info(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    PushText(Kind::Info, fmt, args);
    va_end(args);
}

void Error(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    PushText(Kind::Error, fmt, args);
    va_end(args);
}

void Trace(std::uint64_t frame, Cause cause, const TraceState& state) noexcept {
    if (!accepting.load(std::memory_order_acquire)) {
        return;
    }
    Record record;
    record.time = Now();
    record.frame = frame;
    record.kind = Kind::Trace;
    record.cause = cause;
    record.state = state;
    Push(record);
}

void StartWriter() {
    Writer& w = TheWriter();
    std::lock_guard lock(w.mutex);
    std::lock_guard wakeLock(w.wakeMutex);
    if (w.running || w.file == nullptr) {
        return;
    }
    w.stopRequested = false;
    w.running = true;
    // Detached: nobody may have to wait for it as the process ends, where the system stops it
    // anywhere. Close waits for it to return instead.
    std::thread(RunWriter, std::ref(w)).detach();
}

void Flush() {
    Writer& w = TheWriter();
    std::lock_guard lock(w.mutex);
    Drain(w);
}

void Close() {
    Writer& w = TheWriter();
    {
        std::unique_lock wakeLock(w.wakeMutex);
        w.stopRequested = true;
        w.wake.notify_all();
        w.wake.wait(wakeLock, [&] { return !w.running; });
    }
    std::lock_guard lock(w.mutex);
    SetReportSink(nullptr);
    Drain(w);
    accepting.store(false);
    if (w.file != nullptr) {
        std::fclose(w.file);
        w.file = nullptr;
    }
    w.path.clear();
}

std::uint64_t Dropped() {
    return droppedCount.load();
}

}  // namespace taviro::log
