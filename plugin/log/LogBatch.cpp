// Lines on their way to the file: gathered into a batch of at most one page, handed to the system
// in one write, and laid out so that no line lies across two pages of the file.
#include <cstdio>
#include <cstring>

#include "log/LogWriter.h"

namespace taviro::log::detail {

namespace {

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

}  // namespace

void GiveUp(Writer& w, const char* what, const FileOutcome& why) {
    std::fprintf(stdout, "Taviro: %s %s failed (%s); the log stops here\n", what,
                 PathText(w.path).c_str(), why.Text().c_str());
    std::fflush(stdout);
    w.file.Close();
    w.batch.length = 0;
    w.batch.Mark(queue.Popped(), false);
    accepting.store(false, std::memory_order_release);
}

// Where too little of the page would be left for the next line, the page is filled first, so
// the next batch starts with room for a line.
void HandOver(Writer& w) {
    Batch& batch = w.batch;
    if (batch.length == 0) {
        return;
    }
    if (RoomInPage(w) < kLongestLine) {
        PadToPage(w);
    }
    const std::size_t taken = batch.Taken();
    w.handedAt = w.offset;
    batch.Mark(taken, true);
    const FileOutcome appended = w.file.Append(batch.bytes, batch.length);
    w.offset += batch.length;
    batch.length = 0;
    batch.Mark(taken, false);
    if (!appended.Ok()) {
        GiveUp(w, "writing", appended);
    }
}

namespace {

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

}  // namespace

void AddRecord(Writer& w, const Record& record, std::size_t taken) {
    char line[kLongestLine];
    AddLine(w, line, FormatRecord(record, line, sizeof line), taken);
}

void WriteInfo(Writer& w, const char* fmt, ...) {
    Record record;
    record.time = Now();
    va_list args;
    va_start(args, fmt);
    SetText(record, fmt, args);
    va_end(args);
    AddRecord(w, record, queue.Popped());
}

}  // namespace taviro::log::detail
