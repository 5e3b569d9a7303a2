#include "Log.h"

#include <algorithm>
#include <array>
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
#include <thread>

#include "FilePath.h"
#include "LogFile.h"
#include "LogQueue.h"
#include "LogText.h"
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
    char text[kTextSize] = {};  // escaped already: printable UTF-8
};

// What producers touch: constant-initialised, never destroyed, free of locks.
constexpr std::size_t kQueueCapacity = 1024;
constinit BoundedQueue<Record, kQueueCapacity> queue;
constinit std::atomic<bool> accepting{false};
constinit std::atomic<std::uint64_t> droppedCount{0};
constinit std::atomic<bool> errorWaiting{false};
// Once-only reports raised and not yet written; more distinct ones than this the plugin has not.
constinit std::array<std::atomic<OnceReport*>, 8> onceRaised{};
// Words for the line the log ends with as the process ends; none until the plugin sets them.
constinit std::atomic<void (*)(char*, std::size_t)> closingWords{nullptr};

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
    fs::path path;             // absolute
    std::uint64_t offset = 0;  // where the batch goes: the file's size
    std::uint64_t written = 0;
    std::uint64_t droppedReported = 0;
    bool limitReached = false;
    Batch batch;

    std::mutex wakeMutex;
    std::condition_variable wake;
    std::atomic<bool> stopRequested{false};  // set under wakeMutex, except at exit
    bool running = false;                    // guarded by wakeMutex: the thread has not returned
#ifdef _WIN32
    std::atomic<HANDLE> thread{nullptr};  // the writer thread, to tell at exit whether it ended
#endif
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

// The words, escaped and cut to the record's size.
void SetText(Record& record, const char* fmt, va_list args) {
    char formatted[1024];
    const int length = std::vsnprintf(formatted, sizeof formatted, fmt, args);
    const std::size_t shown =
        length < 0 ? 0 : std::min(static_cast<std::size_t>(length), sizeof formatted - 1);
    EscapeText({formatted, shown}, record.text, sizeof record.text);
}

void PushText(Kind kind, const char* fmt, va_list args) {
    if (!accepting.load(std::memory_order_acquire)) {
        return;
    }
    Record record;
    record.time = Now();
    record.kind = kind;
    SetText(record, fmt, args);
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
        const bool event = IsEvent(record.cause);
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
    // Records are far shorter than the line: a cut line would be no line at all.
    if (length <= 0 || static_cast<std::size_t>(length) >= size) {
        return 0;
    }
    return static_cast<std::size_t>(length);
}

// The log ends, calmly: the game goes on, one line says so where someone may see it.
void GiveUp(Writer& w, const char* what, const std::string& why) {
    std::fprintf(stdout, "Taviro: %s %s failed (%s); the log stops here\n", what,
                 PathText(w.path).c_str(), why.c_str());
    std::fflush(stdout);
    w.file.Close();
    w.batch.length = 0;
    w.batch.Mark(queue.Popped(), false);
    accepting.store(false);
}

// What is left of the file's page where the batch ends; none once the batch fills it.
std::size_t RoomInPage(const Writer& w) {
    const auto used = static_cast<std::size_t>((w.offset + w.batch.length) % kPage);
    return used == 0 && w.batch.length > 0 ? 0 : kPage - used;
}

// Fills the page to its end: the batch's last line with spaces before its newline, or, with no
// line in the batch, a line of spaces.
void PadToPage(Writer& w) {
    Batch& batch = w.batch;
    const std::size_t room = RoomInPage(w);
    if (room == 0 || room == kPage) {
        return;
    }
    if (batch.length > 0) {
        std::memset(batch.bytes + batch.length - 1, ' ', room);
    } else {
        std::memset(batch.bytes, ' ', room);
    }
    batch.length += room;
    batch.bytes[batch.length - 1] = '\n';
    w.written += room;
    batch.Mark(batch.Taken(), false);
}

// Hands the batch to the system in one write. Where too little of the page would be left for
// the next line, the page is filled first, so the next batch starts with room for a line.
void HandOver(Writer& w) {
    Batch& batch = w.batch;
    if (batch.length == 0) {
        return;
    }
    if (RoomInPage(w) < kLongestLine) {
        PadToPage(w);
    }
    const std::size_t taken = batch.Taken();
    batch.Mark(taken, true);
    const std::string why = w.file.Append(batch.bytes, batch.length);
    w.offset += batch.length;
    batch.length = 0;
    batch.Mark(taken, false);
    if (!why.empty()) {
        GiveUp(w, "writing", why);
    }
}

// Adds a whole line to the batch; `taken` is the queue position after the line's record.
void AddLine(Writer& w, const char* line, std::size_t length, std::size_t taken) {
    if (!w.file.IsOpen() || w.limitReached || length == 0) {
        return;
    }
    char stopped[160];
    if (w.written + length > kLaunchLimit) {
        Record record;
        record.time = Now();
        std::snprintf(record.text, sizeof record.text,
                      "log stopped: this launch has written 1 MiB, and later lines are not kept");
        w.limitReached = true;
        line = stopped;
        length = FormatRecord(record, stopped, sizeof stopped);
    }
    if (length > RoomInPage(w)) {
        PadToPage(w);
        HandOver(w);
        if (!w.file.IsOpen()) {
            return;
        }
    }
    std::memcpy(w.batch.bytes + w.batch.length, line, length);
    w.batch.length += length;
    w.written += length;
    w.batch.Mark(taken, false);
}

void AddRecord(Writer& w, const Record& record, std::size_t taken) {
    char line[512];
    AddLine(w, line, FormatRecord(record, line, sizeof line), taken);
}

void WriteInfo(Writer& w, const char* fmt, ...) TAVIRO_PRINTF_FORMAT(2, 3);
void WriteInfo(Writer& w, const char* fmt, ...) {
    Record record;
    record.time = Now();
    va_list args;
    va_start(args, fmt);
    SetText(record, fmt, args);
    va_end(args);
    AddRecord(w, record, queue.Popped());
}

// A player may delete the log while the game runs; our lines would then go nowhere, so the log
// starts again under its name, which is absolute: the game's current folder does not matter.
void ReopenIfRemoved(Writer& w) {
    if (!w.file.IsOpen() || !IsRemoved(w.path)) {
        return;
    }
    HandOver(w);
    const std::string why = w.file.Open(w.path);
    if (!why.empty()) {
        GiveUp(w, "reopening", why);
        return;
    }
    w.offset = w.file.Size();
    WriteInfo(w, "%s was removed while the game ran; the log goes on in a new file", kFileName);
}

// Once-only reports raised since the last drain, worded now.
void WriteOnceReports(Writer& w) {
    if (!w.file.IsOpen()) {
        return;  // kept for a log that opens later
    }
    for (std::atomic<OnceReport*>& slot : onceRaised) {
        OnceReport* report = slot.exchange(nullptr, std::memory_order_acquire);
        if (report == nullptr) {
            continue;
        }
        Record record;
        record.time = report->time.load(std::memory_order_relaxed);
        record.kind = Kind::Error;
        char words[kTextSize * 2];
        report->words(words, sizeof words);
        EscapeText(words, record.text, sizeof record.text);
        AddRecord(w, record, queue.Popped());
    }
}

// With w.mutex held.
void Drain(Writer& w) {
    ReopenIfRemoved(w);
    while (const Record* record = queue.Front()) {
        AddRecord(w, *record, queue.Popped() + 1);
        queue.Pop();
    }
    WriteOnceReports(w);
    const std::uint64_t dropped = droppedCount.load();
    if (dropped != w.droppedReported) {
        WriteInfo(w, "%llu lines were lost: they came faster than the log could take them",
                  static_cast<unsigned long long>(dropped - w.droppedReported));
        w.droppedReported = dropped;
    }
    HandOver(w);
}

void RunWriter(Writer& w) {
#ifdef _WIN32
    HANDLE self = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self,
                        SYNCHRONIZE, FALSE, 0)) {
        if (HANDLE before = w.thread.exchange(self)) {
            CloseHandle(before);
        }
    }
#endif
    for (;;) {
        {
            std::unique_lock lock(w.wakeMutex);
            w.wake.wait_for(lock, kWriterPeriod,
                            [&] { return w.stopRequested.load() || errorWaiting.load(); });
            errorWaiting.store(false);
            if (w.stopRequested.load()) {
                w.running = false;
                w.wake.notify_all();
                return;
            }
        }
        std::lock_guard lock(w.mutex);
        Drain(w);
    }
}

// Whether the drain lock's holder can no longer let go of it. When the game ends with
// ExitProcess, Windows ends every other thread wherever it is, the writer in the middle of a
// drain included, before this library's exit code runs.
bool HolderEnded([[maybe_unused]] Writer& w) {
#ifdef _WIN32
    const HANDLE thread = w.thread.load();
    return thread != nullptr && WaitForSingleObject(thread, 0) == WAIT_OBJECT_0;
#else
    return false;
#endif
}

// Takes up the batch of a writer that was ended mid-drain: lines it had formatted go out, a
// batch it had handed over does not go out again, and a record it had put in the batch but not
// yet taken from the queue is taken now.
void TakeOverBatch(Writer& w) {
    Batch& batch = w.batch;
    const std::uint64_t mark = batch.mark.load(std::memory_order_acquire);
    batch.length = (mark & Batch::kHandedOver) != 0 ? 0 : mark & Batch::kLengthMask;
    const std::size_t taken = static_cast<std::size_t>(mark >> Batch::kPositionShift);
    constexpr std::size_t kPositionMask = ~std::size_t{0} >> Batch::kPositionShift;
    if (((queue.Popped() + 1) & kPositionMask) == (taken & kPositionMask) &&
        queue.Front() != nullptr) {
        queue.Pop();
    }
}

// The log's last line, after everything queued. As the process ends, with the drain lock held
// or its holder ended.
void WriteClosingLine(Writer& w) {
    void (*const words)(char*, std::size_t) = closingWords.load();
    if (words == nullptr) {
        return;
    }
    Record record;
    record.time = Now();
    char text[kTextSize];
    words(text, sizeof text);
    EscapeText(text, record.text, sizeof record.text);
    AddRecord(w, record, queue.Popped());
    HandOver(w);
}

struct FinalFlush {
    // Lines still queued when the process ends reach the file, and the writer is asked to stop,
    // since what it writes to may go with the process. In a program's own exit the writer still
    // runs and finishes its drain in moments; at ExitProcess it may have been ended anywhere,
    // holding the drain lock, and the batch's mark says where it was.
    ~FinalFlush() {
        if (!writerMade.load()) {
            return;
        }
        Writer& w = TheWriter();
        w.stopRequested.store(true);
        // Under Wine a thread reported ended may run on for a moment until its signal lands:
        // the batch is taken up only once the lock has stayed held that long after.
        constexpr int kEndedFor = 20;
        for (int waited = 0, ended = 0; waited < 500; ++waited) {
            if (w.mutex.try_lock()) {
                Drain(w);
                WriteClosingLine(w);
                w.mutex.unlock();
                return;
            }
            ended = HolderEnded(w) ? ended + 1 : 0;
            if (ended > kEndedFor) {
                TakeOverBatch(w);
                Drain(w);
                WriteClosingLine(w);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        // A drain stuck for half a second (a stalled disk): the file is left to it.
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

std::vector<LogFolder> GameLogFolders() {
    std::vector<LogFolder> folders;
    std::string unusable;
    PWSTR documents = nullptr;
    // Documents is often redirected (to a cloud folder, another drive), so only the shell knows
    // where it is; the user profile path would be wrong for those players.
    const HRESULT found =
        SHGetKnownFolderPath(FOLDERID_Documents, KF_FLAG_DEFAULT, nullptr, &documents);
    if (SUCCEEDED(found) && documents != nullptr) {
        try {
            folders.emplace_back(platform::PathFromWide(documents) / "My Games" / "Starfield" /
                                 "SFSE" / "Logs");
        } catch (const std::exception&) {
            unusable = "the file system cannot take the name of Documents";
        }
    } else {
        char why[96];
        std::snprintf(why, sizeof why, "the system cannot say where Documents is: error 0x%08lX",
                      static_cast<unsigned long>(found));
        unusable = why;
    }
    CoTaskMemFree(documents);
    if (!unusable.empty()) {
        folders.emplace_back(fs::path("Documents\\My Games\\Starfield\\SFSE\\Logs"), unusable);
    }
    folders.emplace_back(fs::path(platform::NativeFilePath(".\\Data\\SFSE\\Plugins")));
    return folders;
}

bool Open(const std::vector<LogFolder>& folders) {
    Writer& w = TheWriter();
    std::lock_guard lock(w.mutex);
    if (w.file.IsOpen()) {
        return true;
    }
    while (queue.Front() != nullptr) {
        queue.Pop();  // lines from before this log: nobody asked for them to be kept
    }
    std::string reasons;
    for (std::size_t i = 0; i < folders.size(); ++i) {
        // Only the first folder is ours to create; the plugin folder is there when the plugin
        // is installed, and making one elsewhere would only hide a broken installation.
        bool appended = false;
        std::string why = folders[i].unusable;
        if (why.empty()) {
            why = StartLaunchFile(folders[i].path, i == 0 && folders.size() > 1, w.file, w.path,
                                  appended);
        }
        if (!why.empty()) {
            reasons += " " + PathText(folders[i].path) + " could not be used (" + why + ");";
            continue;
        }
        w.offset = w.file.Size();
        w.written = 0;
        w.limitReached = false;
        w.droppedReported = droppedCount.load();
        w.batch.length = 0;
        w.batch.Mark(queue.Popped(), false);
        if (appended) {
            WriteInfo(w, "---- a new launch; %s could not be kept aside, so this log goes on here",
                      kPreviousFileName);
        }
        const std::tm today = LocalTime(Now());
        WriteInfo(w, "%s, started %04d-%02d-%02d; times are the computer's local time", kFileName,
                  today.tm_year + 1900, today.tm_mon + 1, today.tm_mday);
        if (!reasons.empty()) {
            WriteInfo(w, "the log is here because%s", reasons.c_str());
            std::fprintf(stdout, "Taviro: the log is %s because%s\n", PathText(w.path).c_str(),
                         reasons.c_str());
            std::fflush(stdout);
        }
        HandOver(w);
        accepting.store(true, std::memory_order_release);
        SetReportSink(&CopyReport);
        return true;
    }
    std::fprintf(stdout, "Taviro: no log file:%s the plugin runs without one\n", reasons.c_str());
    std::fflush(stdout);
    return false;
}

fs::path Path() {
    Writer& w = TheWriter();
    std::lock_guard lock(w.mutex);
    return w.file.IsOpen() ? w.path : fs::path();
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

void RaiseOnce(OnceReport& report) noexcept {
    if (report.raised.load(std::memory_order_relaxed) || report.raised.exchange(true)) {
        return;
    }
    report.time.store(Now(), std::memory_order_relaxed);
    for (std::atomic<OnceReport*>& slot : onceRaised) {
        OnceReport* empty = nullptr;
        if (slot.compare_exchange_strong(empty, &report, std::memory_order_release)) {
            return;
        }
    }
}

void SetClosingLine(void (*words)(char* text, std::size_t size)) {
    closingWords.store(words);
}

void StartWriter() {
    Writer& w = TheWriter();
    std::lock_guard lock(w.mutex);
    std::lock_guard wakeLock(w.wakeMutex);
    if (w.running || !w.file.IsOpen()) {
        return;
    }
    w.stopRequested.store(false);
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
        w.stopRequested.store(true);
        w.wake.notify_all();
        w.wake.wait(wakeLock, [&] { return !w.running; });
    }
#ifdef _WIN32
    if (HANDLE thread = w.thread.exchange(nullptr)) {
        CloseHandle(thread);
    }
#endif
    std::lock_guard lock(w.mutex);
    SetReportSink(nullptr);
    Drain(w);
    accepting.store(false);
    w.file.Close();
    w.path.clear();
}

std::uint64_t Dropped() {
    return droppedCount.load();
}

}  // namespace taviro::log
