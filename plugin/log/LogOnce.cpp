// Errors said at most once per process, raised where nothing may be formatted, waited for or woken
// (the hook), and worded by the writer when it next drains.
#include <array>

#include "log/LogText.h"
#include "log/LogWriter.h"

namespace taviro::log {

namespace {

// Once-only reports raised and not yet written; more distinct ones than this the plugin has not.
constinit std::array<std::atomic<OnceReport*>, 8> onceRaised{};

}  // namespace

void RaiseOnce(OnceReport& report) noexcept {
    if (report.raised.load(std::memory_order_relaxed) ||
        report.raised.exchange(true, std::memory_order_acq_rel)) {
        return;
    }
    report.time.store(detail::Now(), std::memory_order_relaxed);
    for (std::atomic<OnceReport*>& slot : onceRaised) {
        OnceReport* empty = nullptr;
        if (slot.compare_exchange_strong(empty, &report, std::memory_order_release)) {
            return;
        }
    }
}

namespace detail {

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

}  // namespace detail
}  // namespace taviro::log
