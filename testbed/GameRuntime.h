// The game's side of every seam the plugin touches, living in the GameImage at the game's
// offsets: the vehicle update and the frame that calls it, the handbrake code, the string pool,
// the UI and its menus, the tracked object and the queries on it. Thread-safe, and free of heap
// allocation on every path the plugin's hook reaches, so tests can count the plugin's own.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "GameLayout.h"
#include "Win32.h"

namespace testbed {

// A game string entry as the game lays it out: flags at +0x14, inline text at +0x18.
struct StringEntry {
    std::uint8_t header[layout::kStringFlags];
    std::uint8_t flags;
    std::uint8_t reserved[3];
    char text[64];
};
static_assert(offsetof(StringEntry, flags) == layout::kStringFlags);
static_assert(offsetof(StringEntry, text) == layout::kStringText);

// The object the game passes to its vehicle update; the plugin reads one float in it.
struct UpdateObject {
    alignas(16) std::uint8_t bytes[0x100] = {};
    void SetFloat(float value);
};

class Game {
public:
    // A value no real computation returns, so a test can tell the game's result from a 0.
    static constexpr std::uint64_t kVehicleUpdateResult = 0x5EA7BE170000C0DE;

    static Game& Get();

    // Back to a freshly started game: the game's own call at the redirected site, menus closed,
    // objects present, queries reading 1.0 and false, the handbrake byte as shipped under
    // execute-read protection, counters zeroed.
    void Reset();

    // One frame: the game's own caller runs the call at the redirected site.
    std::uint64_t Frame(void* updateObject);

    // Menus. Unknown names are never open.
    void SetMenuOpen(std::string_view name, bool open);
    // The menus the UI knows, the names SetMenuOpen takes.
    static std::span<const std::string_view> MenuNames();
    void SetMenuQueryThrows(bool throws);

    // The game's globals. Absent objects leave the global null.
    void SetUiPresent(bool present);
    void SetTrackedPresent(bool present);
    void SetTrackedField(std::uintptr_t value);
    void* Ui();
    void* Tracked();

    void SetFloat1(float value);
    void SetFloat2(float value);
    void SetTruth(bool value);

    // A key of the player's keyboard held or let go, as GetKeyState then reports it: a sided
    // Shift, Ctrl or Alt holds the generic code too, as on Windows. On Windows key state belongs
    // to a thread: call it on the thread that runs the frames.
    static void SetKeyDown(int virtualKey, bool down);

    std::uint8_t HandbrakeByte() const;
    void SetHandbrakeByte(std::uint8_t value);
    DWORD HandbrakeProtection() const;

    struct Counters {
        std::uint64_t vehicleUpdates;
        std::uint64_t stringsBuilt;
        std::uint64_t stringsReleased;
        std::uint64_t menuQueries;
        std::uint64_t float1Queries;
        std::uint64_t float2Queries;
        std::uint64_t truthQueries;
        // Calls whose arguments broke the game's contract (wrong UI object, null handle, ...).
        std::uint64_t contractViolations;
    };
    Counters Count() const;
    std::uint8_t ByteSeenByLastUpdate() const;
    void* LastUpdateObject() const;

private:
    Game();
    void PlaceCode();
};

}  // namespace testbed
