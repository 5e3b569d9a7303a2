// A record as its line in the file: the time, the kind, and the words or the decision's state.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iterator>

#include "log/LogText.h"
#include "log/LogWriter.h"

namespace taviro::log {

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

}  // namespace detail
}  // namespace taviro::log
