// Taviro.log: what the plugin did and why, in the folder where the script extender's plugins keep
// their logs, for players to attach to a bug report.
//
// Every line goes through a fixed-size lock-free queue that one writer drains, so no caller ever
// waits for the file or touches the heap to say something: the hook may log from the game's own
// thread. The writer is a background thread once the game's data has loaded; before that, and
// whenever a caller needs its lines on disk now, Flush writes them on the caller's thread.
//
// When no log could be opened, every call is a cheap no-op and the plugin runs as without one.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "Report.h"

namespace taviro::log {

inline constexpr char kFileName[] = "Taviro.log";
inline constexpr char kPreviousFileName[] = "Taviro.previous.log";
// What one launch may write; a line then says the log stopped.
inline constexpr std::uint64_t kLaunchLimit = 1u << 20;

// The decision as a trace line shows it.
struct TraceState {
    bool engaged = true;  // the handbrake state last asked for
    std::int8_t stage = -1;
    std::uint8_t warmup = 0;
    bool exitWindow = false;
    bool activationWindow = false;
    std::int16_t window = 150;
    bool operator==(const TraceState&) const = default;
};

// Why a trace line was written: the hook's way through its decision, or the event a sink acted on.
enum class Cause : std::uint8_t {
    NoUi,
    Fade,
    LoadScreen,
    WarmUp,
    NotReady,
    GameFlag,
    HotkeyHeld,
    HotkeyLetGo,
    Reset,
    CountingUpdateFloat,
    CountingFloat1,
    CountingExitWindow,
    CountingActivationWindow,
    ExitVehicle,
    ActivationMatched,
    CreditsClosed,
    GameLoaded,
};
const char* CauseName(Cause cause);

// <Documents>\My Games\Starfield\SFSE\Logs, then Data\SFSE\Plugins under the game's folder.
// The first is left out when the shell cannot say where Documents is.
std::vector<std::filesystem::path> GameLogFolders();

// Starts this launch's log in the first of `folders` that takes it (creating the folder when
// missing), keeping the previous launch's log there as kPreviousFileName. False, with one line on
// standard output, when none does. A log already open is kept.
bool Open(const std::vector<std::filesystem::path>& folders);

// The file being written, empty when there is none.
std::filesystem::path Path();

// A line that is always written. Errors reach the file at once; other lines within a second.
void Info(const char* fmt, ...) TAVIRO_PRINTF_FORMAT(1, 2);
void Error(const char* fmt, ...) TAVIRO_PRINTF_FORMAT(1, 2);

// A decision-trace line. Formats nothing and allocates nothing: the writer does the words.
void Trace(std::uint64_t frame, Cause cause, const TraceState& state) noexcept;

// Starts the background writer; later calls do nothing.
void StartWriter();

// Writes everything queued so far, on the calling thread.
void Flush();

// Stops the writer, writes what is left and closes the file, so that a new Open starts afresh.
void Close();

// Lines lost because the queue was full, since the process started.
std::uint64_t Dropped();

}  // namespace taviro::log
