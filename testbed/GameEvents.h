// The game's event machinery as the plugin meets it: the three event-source functions and the
// UI's menu source, the sink-registration function, dispatch that calls a sink through slot 1
// of its virtual table as the game does, and the objects an activation event points at.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "GameLayout.h"
#include "GameRuntime.h"

namespace testbed {

enum class EventKind { Menu, LoadGame, ExitVehicle, Activate };
const char* EventKindName(EventKind kind);

// A reference as the game lays it out: a 32-bit value at +0x28, its base object at +0x98.
struct Reference {
    alignas(16) std::uint8_t bytes[0x100] = {};
    void SetValue(std::uint32_t value);
    void SetBaseObject(const void* baseObject);
};

// A base object whose virtual slot 34 answers its type code.
struct BaseObject {
    void* const* vtable;
    std::uint8_t typeCode;
};

struct ActivateEventRecord {
    void* activated;
    void* acting;
};

class GameEvents {
public:
    static GameEvents& Get();

    // Forgets every registration and zeroes the counters.
    void Reset();

    void* Source(EventKind kind);

    struct Registration {
        EventKind kind;
        void* source;
        void* sink;
    };
    std::vector<Registration> Registrations() const;
    // Registration calls whose source the game does not have (null included).
    std::uint64_t InvalidRegistrations() const;

    // Each dispatch calls every sink registered for the event, in registration order, and
    // returns what the sinks answered.
    std::vector<std::uint32_t> DispatchLoadGame();
    std::vector<std::uint32_t> DispatchExitVehicle();
    std::vector<std::uint32_t> DispatchActivate(const ActivateEventRecord& event);
    // The menu's name as a game string entry; flags 0x02 marks a name that is not stored inline.
    // A null name sends an event without a name entry.
    std::vector<std::uint32_t> DispatchMenu(const char* name, bool opening, std::uint8_t flags = 0);

    // Calls slot 1 of `sink` raw, as the game's dispatcher does.
    static std::uint32_t CallHandleEvent(void* sink, const void* event, void* source);

    // A base object whose slot 34 returns `typeCode`; counts the calls.
    BaseObject MakeBaseObject(std::uint8_t typeCode);
    std::uint64_t TypeCodeCalls() const;

    // The game's reference test answers `matches` for (reference, form) pairs.
    void SetReferenceTestResult(bool matches);
    std::uint64_t ReferenceTestCalls() const;
    const void* LastReferenceTested() const;
    const void* LastFormTested() const;

private:
    GameEvents();
    std::vector<std::uint32_t> Dispatch(EventKind kind, const void* event);
};

}  // namespace testbed
