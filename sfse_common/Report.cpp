#include "Report.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace sfse_common {

namespace {
std::atomic<ReportSink> reportSink{nullptr};
}  // namespace

void SetReportSink(ReportSink sink) {
    reportSink.store(sink, std::memory_order_release);
}

void ReportMessage(const char* fmt, ...) {
    static char buffer[8192];

    // One byte held back so the newline always fits, even after a report cut short.
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buffer, sizeof(buffer) - 1, fmt, args);
    va_end(args);
    const std::size_t length = std::strlen(buffer);
    buffer[length] = '\n';
    buffer[length + 1] = '\0';

    // Flushed at once: the report before a halt is the one that matters most, and a buffered
    // stream would lose it.
    std::fputs(buffer, stdout);
    std::fflush(stdout);

    if (const ReportSink sink = reportSink.load(std::memory_order_acquire)) {
        buffer[length] = '\0';
        sink(buffer);
    }
}

}  // namespace sfse_common
