// The log as the process ends: lines still queued reach the file, and the writer is asked to
// stop, since what it writes to may go with the process. In a program's own exit the writer
// still runs and finishes its drain in moments. At ExitProcess, Windows ends every other thread
// wherever it is before this library's exit code runs, the writer in the middle of a drain
// included, holding the drain lock: the batch's mark says where it was.
#include <chrono>
#include <thread>

#include "Win32.h"
#include "log/LogText.h"
#include "log/LogWriter.h"

namespace taviro::log::detail {

namespace {

// Words for the line the log ends with as the process ends; none until the plugin sets them.
constinit std::atomic<void (*)(char*, std::size_t)> closingWords{nullptr};

// Whether the drain lock's holder can no longer let go of it.
bool HolderEnded([[maybe_unused]] Writer& w) {
#ifdef _WIN32
    const HANDLE thread = w.thread.load(std::memory_order_acquire);
    return thread != nullptr && WaitForSingleObject(thread, 0) == WAIT_OBJECT_0;
#else
    return false;  // elsewhere an exit leaves the other threads running until it is done
#endif
}

// Takes up the batch of a writer that was ended mid-drain: lines it had formatted go out, a
// batch it had handed over does not go out again, and a record it had put in the batch but not
// yet taken from the queue is taken now.
// A writer is most often ended in a write, and Windows ends a thread in a system call as the call
// returns: the write is in the file, but the writer's count of the file's size is not, and the
// lines after would be laid out in the pages of a shorter file. So a batch handed over is looked
// for in the file itself: there, the file's size is taken for the count; not there yet (ended
// between the mark and the call), it goes out now.
void TakeOverBatch(Writer& w) {
    Batch& batch = w.batch;
    const std::uint64_t mark = batch.mark.load(std::memory_order_acquire);
    batch.length = mark & Batch::kLengthMask;
    if ((mark & Batch::kHandedOver) != 0) {
        const std::uint64_t size = w.file.Size();
        if (size != w.handedAt) {
            // A size the system would not give (0) leaves the count the write would make.
            w.offset = size > w.handedAt ? size : w.handedAt + batch.length;
            batch.length = 0;
        }
    }
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
    void (*const words)(char*, std::size_t) = closingWords.load(std::memory_order_acquire);
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
    ~FinalFlush() {
        if (!writerMade.load(std::memory_order_acquire)) {
            return;
        }
        Writer& w = TheWriter();
        w.stopRequested.store(true, std::memory_order_release);
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

void NoteWriterThread([[maybe_unused]] Writer& w) {
#ifdef _WIN32
    HANDLE self = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self,
                        SYNCHRONIZE, FALSE, 0)) {
        if (void* before = w.thread.exchange(self, std::memory_order_acq_rel)) {
            CloseHandle(before);
        }
    }
#endif
}

void ForgetWriterThread([[maybe_unused]] Writer& w) {
#ifdef _WIN32
    if (void* thread = w.thread.exchange(nullptr, std::memory_order_acq_rel)) {
        CloseHandle(thread);
    }
#endif
}

}  // namespace taviro::log::detail

namespace taviro::log {

void SetClosingLine(void (*words)(char* text, std::size_t size)) {
    detail::closingWords.store(words, std::memory_order_release);
}

}  // namespace taviro::log
