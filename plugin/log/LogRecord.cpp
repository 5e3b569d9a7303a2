// A record as its line in the file: the time, the kind, and the words or the decision's state.
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "log/LogText.h"
#include "log/LogWriter.h"

namespace taviro::log {

namespace detail {

std::int64_t Now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
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

void SetText(Record& record, const char* fmt, va_list args) {
    char formatted[1024];
    const int length = std::vsnprintf(formatted, sizeof formatted, fmt, args);
    const std::size_t shown =
        length < 0 ? 0 : std::min(static_cast<std::size_t>(length), sizeof formatted - 1);
    EscapeText({formatted, shown}, record.text, sizeof record.text);
}

std::size_t FormatRecord(const Record& record, char* line, std::size_t size) {
    const std::tm local = LocalTime(record.time);
    const auto millis = static_cast<int>((record.time / 1'000'000) % 1000);
    const char* label = record.kind == Kind::Error ? "error" : "info";
    const char* text = record.text;
    char deferred[kTextSize * 2];
    if (record.kind == Kind::Deferred) {
        label = record.words(record.text, deferred, sizeof deferred);
        text = deferred;
    }
    const int length = std::snprintf(line, size, "%02d:%02d:%02d.%03d %-5s %s\n", local.tm_hour,
                                     local.tm_min, local.tm_sec, millis, label, text);
    // Records are far shorter than the line: a cut line would be no line at all.
    if (length <= 0 || static_cast<std::size_t>(length) >= size) {
        return 0;
    }
    return static_cast<std::size_t>(length);
}

}  // namespace detail
}  // namespace taviro::log
