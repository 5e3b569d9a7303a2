#include "hook/Trace.h"

#include <cstdio>
#include <cstring>
#include <iterator>

#include "log/Log.h"

namespace taviro::trace {

namespace {

// What travels through the log's queue for one line: copied as bytes, worded by the writer.
struct Payload {
    std::uint64_t frame;
    Cause cause;
    State state;
};
static_assert(sizeof(Payload) <= log::kPayloadSize);

const char* Words(const void* bytes, char* text, std::size_t size) {
    Payload p;
    std::memcpy(&p, bytes, sizeof p);
    const State& s = p.state;
    const bool event = IsEvent(p.cause);
    std::snprintf(text, size,
                  "frame=%llu %s%s handbrake=%s stage=%d warmup=%u exit=%s activation=%s window=%d",
                  static_cast<unsigned long long>(p.frame), event ? "" : "why=", CauseName(p.cause),
                  s.engaged ? "engaged" : "released", s.stage, static_cast<unsigned>(s.warmup),
                  s.exitWindow ? "open" : "closed", s.activationWindow ? "open" : "closed",
                  s.window);
    return event ? "event" : "trace";
}

}  // namespace

const char* CauseName(Cause cause) {
    // In the order of the enumeration.
    static constexpr const char* kNames[] = {"no-ui-yet",
                                             "fade",
                                             "load-screen",
                                             "warm-up",
                                             "tracked-object-not-ready",
                                             "game-flag",
                                             "hotkey-held",
                                             "hotkey-let-go",
                                             "hotkey-on",
                                             "hotkey-off",
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

void Record(std::uint64_t frame, Cause cause, const State& state) noexcept {
    const Payload payload{frame, cause, state};
    log::Deferred(&Words, &payload, sizeof payload);
}

}  // namespace taviro::trace
