#include "plugin/EventSinks.h"

#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "plugin/ControlState.h"
#include "plugin/FormLookup.h"
#include "plugin/GameOffsets.h"
#include "plugin/Settings.h"

void* GAME_CALL BSTEventDetail::SinkBase::ScalarDeletingDestructor(std::uint32_t flags) {
    // The sinks hold no state, so there is nothing to destroy; only the memory may go.
    if ((flags & 1) != 0) {
        ::operator delete(this);
    }
    return this;
}

namespace taviro {

constinit Taviro_TESLoadGameEventClass loadGameSink;
constinit Taviro_MenuOpenCloseEventClass menuOpenCloseSink;
constinit Taviro_ExitVehicleEventClass exitVehicleSink;
constinit Taviro_TESActivateEventClass activateSink;

namespace {

constexpr BSEventNotifyControl kContinue = BSEventNotifyControl::kContinue;

// Menu event and the game's string entry it names.
constexpr std::ptrdiff_t kMenuName = 0x00;
constexpr std::ptrdiff_t kMenuOpening = 0x08;
constexpr std::ptrdiff_t kStringFlags = 0x14;
constexpr std::ptrdiff_t kStringText = 0x18;
constexpr std::uint8_t kStringNotInline = 0x02;
// Menu names are short; a longer text cannot be the one we look for, and stopping there keeps an
// unterminated entry from running us off the end of mapped memory.
constexpr std::size_t kMenuNameLimit = 256;
constexpr const char* kCreditsMenu = "EndGameCreditsMenu";

// Activate event, the references in it and the activated reference's base object.
constexpr std::ptrdiff_t kActivated = 0x00;
constexpr std::ptrdiff_t kActing = 0x08;
constexpr std::ptrdiff_t kReferenceValue = 0x28;
constexpr std::ptrdiff_t kReferenceBaseObject = 0x98;
constexpr std::uint32_t kActingValueWanted = 0x14;
constexpr std::size_t kTypeCodeSlot = 34;
constexpr std::uint8_t kTypeCodeWanted = 0x2F;

using ReferenceTestFn = game::Function<std::uint8_t, void*, void*>;

std::string MenuName(const MenuOpenCloseEvent* event) {
    const void* entry = game::Read<const void*>(event, kMenuName);
    if (entry == nullptr || (game::Read<std::uint8_t>(entry, kStringFlags) & kStringNotInline)) {
        return {};  // an out-of-line name never matches
    }
    const char* text = static_cast<const char*>(entry) + kStringText;
    std::size_t length = 0;
    while (length < kMenuNameLimit && text[length] != '\0') {
        ++length;
    }
    return std::string(text, length);
}

bool ActivationPassesFilter(const TESActivateEvent* event) {
    void* acting = game::Read<void*>(event, kActing);
    void* activated = game::Read<void*>(event, kActivated);
    if (acting == nullptr || activated == nullptr ||
        game::Read<std::uint32_t>(acting, kReferenceValue) != kActingValueWanted) {
        return false;
    }
    void* baseObject = game::Read<void*>(activated, kReferenceBaseObject);
    if (baseObject == nullptr ||
        game::CallVirtual<std::uint8_t>(baseObject, kTypeCodeSlot) != kTypeCodeWanted) {
        return false;
    }
    void* filterForm = controlState.activationFilterForm.load(std::memory_order_acquire);
    if (filterForm == nullptr) {
        return false;
    }
    static const ReferenceTestFn isReference =
        game::FunctionAt<std::uint8_t, void*, void*>(offsets::kReferenceTest);
    return isReference(activated, filterForm) != 0;
}

}  // namespace

BSEventNotifyControl Taviro_TESLoadGameEventClass::HandleEvent(const TESLoadGameEvent*,
                                                               BSTEventSource<TESLoadGameEvent>*) {
    std::lock_guard lock(StateMutex);
    LoadSettings();
    RefreshGamePointers();
    controlState.handbrakeEngaged.store(true);  // the byte itself is left to the next hook call
    return kContinue;
}

BSEventNotifyControl Taviro_MenuOpenCloseEventClass::HandleEvent(
    const MenuOpenCloseEvent* event, BSTEventSource<MenuOpenCloseEvent>*) {
    if (event == nullptr) {
        return kContinue;
    }
    const std::string name = MenuName(event);
    const bool opening = game::Read<std::uint8_t>(event, kMenuOpening) != 0;
    if (!name.empty() && !opening && name == kCreditsMenu) {
        // Under the lock like the other sinks: the hook may be deciding on another thread.
        std::lock_guard lock(StateMutex);
        controlState.warmupCount = 0;
        controlState.engageStage = kEngageStageReset;
        RefreshGamePointers();
    }
    return kContinue;
}

BSEventNotifyControl Taviro_ExitVehicleEventClass::HandleEvent(
    const Events::ExitVehicleEvent*, BSTEventSource<Events::ExitVehicleEvent>*) {
    std::lock_guard lock(StateMutex);
    controlState.exitWindowOpen = true;
    controlState.activationWindowOpen = false;
    controlState.windowCount = 0;
    return kContinue;
}

BSEventNotifyControl Taviro_TESActivateEventClass::HandleEvent(const TESActivateEvent* event,
                                                               BSTEventSource<TESActivateEvent>*) {
    if (event == nullptr || !ActivationPassesFilter(event)) {
        return kContinue;
    }
    std::lock_guard lock(StateMutex);
    controlState.exitWindowOpen = false;
    controlState.activationWindowOpen = true;
    controlState.windowCount = 0;
    return kContinue;
}

}  // namespace taviro
