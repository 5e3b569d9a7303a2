#include "EventSinks.h"

#include <mutex>
#include <string_view>

#include "game/GameOffsets.h"
#include "game/GamePointers.h"
#include "hook/ControlState.h"
#include "hook/Trace.h"
#include "hook/VehicleUpdateCall.h"
#include "hook/VehicleUpdateHook.h"
#include "log/Log.h"
#include "settings/Settings.h"
#include "settings/SettingsWatcher.h"

void* GAME_CALL BSTEventDetail::SinkBase::ScalarDeletingDestructor(std::uint32_t) {
    // The sinks hold no state, so there is nothing to destroy. Nor is there memory to free,
    // whatever the flag asks: every sink is one of the four static objects below, and handing
    // static storage to the allocator would corrupt the game's heap.
    return this;
}

namespace taviro {

constinit Taviro_TESLoadGameEventClass loadGameSink;
constinit Taviro_MenuOpenCloseEventClass menuOpenCloseSink;
constinit Taviro_ExitVehicleEventClass exitVehicleSink;
constinit Taviro_TESActivateEventClass activateSink;

namespace {

constexpr BSEventNotifyControl kContinue = BSEventNotifyControl::kContinue;

// The game's layouts the sinks read: event records, the string entry naming a menu, references
// and the activated reference's base object.
namespace menu_event {
constexpr std::ptrdiff_t kName = 0x00, kOpening = 0x08;
}
namespace string_entry {
constexpr std::ptrdiff_t kFlags = 0x14, kText = 0x18;
constexpr std::uint8_t kNotInline = 0x02;
}  // namespace string_entry
namespace activate_event {
constexpr std::ptrdiff_t kActivated = 0x00, kActing = 0x08;
}
namespace reference {
constexpr std::ptrdiff_t kValue = 0x28, kBaseObject = 0x98;
}
constexpr std::size_t kTypeCodeSlot = 34;  // of the base object's virtual table

constexpr std::uint32_t kActingValueWanted = 0x14;
constexpr std::uint8_t kTypeCodeWanted = 0x2F;
constexpr std::string_view kCreditsMenu = "EndGameCreditsMenu";

// Compared where the game keeps it, so no byte past the credits menu's name and its terminator
// is read, however long or unterminated the entry's text.
bool MenuNameIs(const MenuOpenCloseEvent* event, std::string_view name) {
    const void* entry = game::Read<const void*>(event, menu_event::kName);
    if (entry == nullptr ||
        (game::Read<std::uint8_t>(entry, string_entry::kFlags) & string_entry::kNotInline)) {
        return false;  // an out-of-line name never matches
    }
    return game::TextIs(entry, string_entry::kText, name);
}

bool ActivationPassesFilter(const TESActivateEvent* event) {
    void* acting = game::Read<void*>(event, activate_event::kActing);
    void* activated = game::Read<void*>(event, activate_event::kActivated);
    if (acting == nullptr || activated == nullptr ||
        game::Read<std::uint32_t>(acting, reference::kValue) != kActingValueWanted) {
        return false;
    }
    void* baseObject = game::Read<void*>(activated, reference::kBaseObject);
    if (baseObject == nullptr ||
        game::CallVirtual<std::uint8_t>(baseObject, kTypeCodeSlot) != kTypeCodeWanted) {
        return false;
    }
    void* filterForm = controlState.activationFilterForm.load(std::memory_order_acquire);
    if (filterForm == nullptr) {
        return false;
    }
    return game::Call(offsets::kReferenceTest, activated, filterForm) != 0;
}

void StoreGamePointers(const GamePointers& pointers) {
    controlState.patchSite.store(pointers.patchSite, std::memory_order_release);
    controlState.trackedSingleton = pointers.trackedSingleton;
    controlState.gameUi = pointers.gameUi;
    controlState.activationFilterForm.store(pointers.activationFilterForm,
                                            std::memory_order_release);
}

void RefreshAndStoreGamePointers() {
    const GamePointers pointers = RefreshGamePointers();
    LogGamePointers(pointers);
    StoreGamePointers(pointers);
}

// An event line of the decision trace, with the state the sink left. Under StateMutex.
void TraceEvent(trace::Cause cause) {
    if (controlState.loggingEnabled.load(std::memory_order_relaxed)) {
        trace::Record(HookCallCount(), cause, DecisionState());
    }
}

// An exit or a filtered activation opens its counting window, closes the other one and starts
// the count afresh.
void OpenWindow(bool exitWindow, trace::Cause cause) {
    std::lock_guard lock(StateMutex);
    controlState.exitWindowOpen = exitWindow;
    controlState.activationWindowOpen = !exitWindow;
    controlState.windowCount = 0;
    TraceEvent(cause);
}

}  // namespace

void ReloadSettingsAndPointers() {
    // The files are read without the state: the hook decides on meanwhile, with the settings in
    // force until the new ones are published.
    ReloadSettings();
    std::lock_guard lock(StateMutex);
    RefreshAndStoreGamePointers();
}

BSEventNotifyControl Taviro_TESLoadGameEventClass::HandleEvent(const TESLoadGameEvent*,
                                                               BSTEventSource<TESLoadGameEvent>*) {
    RecheckVehicleUpdateCall();  // a plugin loaded after us may have taken the call
    log::Info("a game was loaded: reading the settings and the game again");
    ReloadSettingsAndPointers();
    std::lock_guard lock(StateMutex);
    // The byte itself is left to the next hook call. A toggled hotkey belongs to the game it was
    // pressed in.
    controlState.handbrakeEngaged.store(true, std::memory_order_relaxed);
    controlState.toggle.End();
    TraceEvent(trace::Cause::GameLoaded);
    return kContinue;
}

BSEventNotifyControl Taviro_MenuOpenCloseEventClass::HandleEvent(
    const MenuOpenCloseEvent* event, BSTEventSource<MenuOpenCloseEvent>*) {
    if (event == nullptr) {
        return kContinue;
    }
    const bool opening = game::Read<std::uint8_t>(event, menu_event::kOpening) != 0;
    if (!opening && MenuNameIs(event, kCreditsMenu)) {
        // Under the lock like the other sinks: the hook may be deciding on another thread.
        std::lock_guard lock(StateMutex);
        controlState.warmupCount = 0;
        controlState.engageStage = kEngageStageReset;
        controlState.toggle.End();
        RefreshAndStoreGamePointers();
        TraceEvent(trace::Cause::CreditsClosed);
    }
    return kContinue;
}

BSEventNotifyControl Taviro_ExitVehicleEventClass::HandleEvent(
    const Events::ExitVehicleEvent*, BSTEventSource<Events::ExitVehicleEvent>*) {
    OpenWindow(true, trace::Cause::ExitVehicle);
    return kContinue;
}

BSEventNotifyControl Taviro_TESActivateEventClass::HandleEvent(const TESActivateEvent* event,
                                                               BSTEventSource<TESActivateEvent>*) {
    if (event == nullptr || !ActivationPassesFilter(event)) {
        return kContinue;
    }
    OpenWindow(false, trace::Cause::ActivationMatched);
    return kContinue;
}

}  // namespace taviro
