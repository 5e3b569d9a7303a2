// The log's face and its writer: callers queue lines, the writer (a thread of its own, or the
// caller of Flush) drains them into the file, and the file is found, opened and closed here.
#include "log/Log.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <thread>

#include "Shell.h"
#include "Win32.h"
#include "log/LogWriter.h"

namespace taviro::log {

namespace detail {

constinit Queue queue;
constinit std::atomic<bool> accepting{false};
constinit std::atomic<std::uint64_t> droppedCount{0};
constinit std::atomic<bool> writerMade{false};

Writer& TheWriter() {
    alignas(Writer) static unsigned char storage[sizeof(Writer)];
    static Writer* writer = [] {
        Writer* made = new (storage) Writer;
        writerMade.store(true, std::memory_order_release);
        return made;
    }();
    return *writer;
}

namespace {

// How long the writer sleeps between looks at the queue: lines reach the file well within a
// second, so a crash loses little, and an idle game costs a wake-up five times a second.
constexpr auto kWriterPeriod = std::chrono::milliseconds(200);

constinit std::atomic<bool> errorWaiting{false};

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
    SetText(record, fmt, args);
    Push(record);
    if (kind == Kind::Error) {
        errorWaiting.store(true, std::memory_order_release);
        TheWriter().wake.notify_all();
    }
}

// Lines the script extender's reporting function writes reach the log too.
void CopyReport(const char* line) {
    Info("%s", line);
}

// A player may delete the log while the game runs; our lines would then go nowhere, so the log
// starts again under its name, which is absolute: the game's current folder does not matter.
void ReopenIfRemoved(Writer& w) {
    if (!w.file.IsOpen() || !IsRemoved(w.path)) {
        return;
    }
    HandOver(w);
    const FileOutcome reopened = w.file.Open(w.path);
    if (!reopened.Ok()) {
        GiveUp(w, "reopening", reopened);
        return;
    }
    w.offset = w.file.Size();
    WriteInfo(w, "%s was removed while the game ran; the log goes on in a new file", kFileName);
}

void RunWriter(Writer& w) {
    NoteWriterThread(w);
    for (;;) {
        {
            std::unique_lock lock(w.wakeMutex);
            w.wake.wait_for(lock, kWriterPeriod, [&] {
                return w.stopRequested.load(std::memory_order_acquire) ||
                       errorWaiting.load(std::memory_order_acquire);
            });
            errorWaiting.store(false, std::memory_order_relaxed);
            if (w.stopRequested.load(std::memory_order_acquire)) {
                w.running = false;
                w.wake.notify_all();
                return;
            }
        }
        std::lock_guard lock(w.mutex);
        Drain(w);
    }
}

}  // namespace

void Drain(Writer& w) {
    ReopenIfRemoved(w);
    while (const Record* record = queue.Front()) {
        AddRecord(w, *record, queue.Popped() + 1);
        queue.Pop();
    }
    WriteOnceReports(w);
    const std::uint64_t dropped = droppedCount.load(std::memory_order_relaxed);
    if (dropped != w.droppedReported) {
        WriteInfo(w, "%llu lines were lost: they came faster than the log could take them",
                  static_cast<unsigned long long>(dropped - w.droppedReported));
        w.droppedReported = dropped;
    }
    HandOver(w);
}

}  // namespace detail

using namespace detail;

std::vector<LogFolder> GameLogFolders() {
    // The shell's identifier of Documents, as Windows documents it: the one of the system's
    // identifiers the plugin needs, without the library that defines them all.
    static constexpr KNOWNFOLDERID kDocuments = {
        0xFDD39AD0, 0x238F, 0x46AF, {0xAD, 0xB4, 0x6C, 0x85, 0x48, 0x03, 0x69, 0xC7}};
    std::vector<LogFolder> folders;
    PWSTR documents = nullptr;
    // Documents is often redirected (to a cloud folder, another drive), so only the shell knows
    // where it is; the user profile path would be wrong for those players.
    const HRESULT found = SHGetKnownFolderPath(kDocuments, KF_FLAG_DEFAULT, nullptr, &documents);
    if (SUCCEEDED(found) && documents != nullptr) {
        platform::Path logs = documents;
        for (const wchar_t* part : {L"My Games", L"Starfield", L"SFSE", L"Logs"}) {
            logs = platform::Join(std::move(logs), part);
        }
        folders.emplace_back(std::move(logs));
    } else {
        char why[96];
        std::snprintf(why, sizeof why, "the system cannot say where Documents is: error 0x%08lX",
                      static_cast<unsigned long>(found));
        folders.emplace_back(L"Documents\\My Games\\Starfield\\SFSE\\Logs", why);
    }
    CoTaskMemFree(documents);
    folders.emplace_back(platform::NativeFilePath<wchar_t>(L".\\Data\\SFSE\\Plugins"));
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
            const FileOutcome started = StartLaunchFile(
                folders[i].path, i == 0 && folders.size() > 1, w.file, w.path, appended);
            why = started.Ok() ? std::string() : started.Text();
        }
        if (!why.empty()) {
            reasons += " " + PathText(folders[i].path) + " could not be used (" + why + ");";
            continue;
        }
        w.offset = w.file.Size();
        w.written = 0;
        w.limitReached = false;
        w.droppedReported = droppedCount.load(std::memory_order_relaxed);
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
        sfse_common::SetReportSink(&CopyReport);
        return true;
    }
    std::fprintf(stdout, "Taviro: no log file:%s the plugin runs without one\n", reasons.c_str());
    std::fflush(stdout);
    return false;
}

platform::Path Path() {
    Writer& w = TheWriter();
    std::lock_guard lock(w.mutex);
    return w.file.IsOpen() ? w.path : platform::Path();
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

void Deferred(DeferredWords words, const void* payload, std::size_t size) noexcept {
    if (!accepting.load(std::memory_order_acquire) || size > kPayloadSize) {
        return;
    }
    Record record;
    record.time = Now();
    record.kind = Kind::Deferred;
    record.words = words;
    std::memcpy(record.text, payload, size);
    Push(record);
}

void StartWriter() {
    Writer& w = TheWriter();
    std::lock_guard lock(w.mutex);
    std::lock_guard wakeLock(w.wakeMutex);
    if (w.running || !w.file.IsOpen()) {
        return;
    }
    w.stopRequested.store(false, std::memory_order_release);
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
        w.stopRequested.store(true, std::memory_order_release);
        w.wake.notify_all();
        w.wake.wait(wakeLock, [&] { return !w.running; });
    }
    ForgetWriterThread(w);
    std::lock_guard lock(w.mutex);
    sfse_common::SetReportSink(nullptr);
    Drain(w);
    accepting.store(false, std::memory_order_release);
    w.file.Close();
    w.path.clear();
}

std::uint64_t Dropped() {
    return droppedCount.load(std::memory_order_relaxed);
}

}  // namespace taviro::log
