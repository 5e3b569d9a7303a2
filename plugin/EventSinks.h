// The four game events that reset or arm the handbrake decision, and the sink objects the game
// calls for them.
//
// The game calls a sink through its virtual table: slot 0 is the MSVC-style scalar deleting
// destructor, slot 1 HandleEvent. A C++ virtual destructor would take two slots under the
// Itanium ABI that GCC and mingw use and push HandleEvent to slot 2, so the root declares its
// slot-0 entry as an ordinary virtual function and keeps its real destructor non-virtual.
#pragma once

#include <cstdint>

#include "game/GameMemory.h"

// The game's event records; the sinks read them only at the offsets they document.
struct TESLoadGameEvent;
struct MenuOpenCloseEvent;  // +0x00 menu-name string entry, +0x08 opening flag (u8)
struct TESActivateEvent;    // +0x00 activated reference, +0x08 acting reference
namespace Events {
struct ExitVehicleEvent;
}

template <class Event>
class BSTEventSource;

// What a sink tells the game after an event; the sinks always let it go on.
enum class BSEventNotifyControl : std::uint32_t { kContinue = 0, kStop = 1 };

namespace BSTEventDetail {

class SinkBase {
public:
    constexpr SinkBase() = default;
    // Slot 0. Bit 0 of `flags` asks for the object's memory to be freed as well; the plugin's
    // sinks are static objects, so it never is.
    virtual void* GAME_CALL ScalarDeletingDestructor(std::uint32_t flags);

protected:
    ~SinkBase() = default;
};

}  // namespace BSTEventDetail

template <class Event>
class BSTEventSink : public BSTEventDetail::SinkBase {
public:
    constexpr BSTEventSink() = default;
    // Slot 1.
    virtual BSEventNotifyControl GAME_CALL HandleEvent(const Event*, BSTEventSource<Event>*) {
        return BSEventNotifyControl::kContinue;
    }

protected:
    ~BSTEventSink() = default;
};

namespace taviro {

// Reloads the settings and the game pointers on every game load.
class Taviro_TESLoadGameEventClass final : public BSTEventSink<TESLoadGameEvent> {
public:
    BSEventNotifyControl GAME_CALL HandleEvent(const TESLoadGameEvent* event,
                                               BSTEventSource<TESLoadGameEvent>* source) override;
};

// Restarts the warm-up and the stage count when the end credits close.
class Taviro_MenuOpenCloseEventClass final : public BSTEventSink<MenuOpenCloseEvent> {
public:
    BSEventNotifyControl GAME_CALL HandleEvent(const MenuOpenCloseEvent* event,
                                               BSTEventSource<MenuOpenCloseEvent>* source) override;
};

// Opens the exit window.
class Taviro_ExitVehicleEventClass final : public BSTEventSink<Events::ExitVehicleEvent> {
public:
    BSEventNotifyControl GAME_CALL
    HandleEvent(const Events::ExitVehicleEvent* event,
                BSTEventSource<Events::ExitVehicleEvent>* source) override;
};

// Opens the activation window for the one kind of activation the decision cares about.
class Taviro_TESActivateEventClass final : public BSTEventSink<TESActivateEvent> {
public:
    BSEventNotifyControl GAME_CALL HandleEvent(const TESActivateEvent* event,
                                               BSTEventSource<TESActivateEvent>* source) override;
};

// Reads the settings files and the game's pointers afresh and stores them, as every game load
// does: the files without StateMutex, the pointers under it.
void ReloadSettingsAndPointers();

// The one instance of each, constant-initialised: they exist before any code of ours runs and
// for as long as the game may hold pointers to them.
extern Taviro_TESLoadGameEventClass loadGameSink;
extern Taviro_MenuOpenCloseEventClass menuOpenCloseSink;
extern Taviro_ExitVehicleEventClass exitVehicleSink;
extern Taviro_TESActivateEventClass activateSink;

}  // namespace taviro
