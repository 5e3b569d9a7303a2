#include "GameEvents.h"

#include <array>
#include <cstring>
#include <mutex>

#include "GameImage.h"

namespace testbed {

namespace {

using namespace layout;

struct EventSource {
    std::uint8_t bytes[0x40] = {};
};

struct MenuEventRecord {
    const StringEntry* name;
    std::uint8_t opening;
};

struct State {
    std::array<EventSource, 3> sources;  // load game, exit vehicle, activate
    mutable std::mutex mutex;
    std::vector<GameEvents::Registration> registrations;
    std::atomic<std::uint64_t> invalidRegistrations{0};
    std::atomic<std::uint64_t> typeCodeCalls{0};
    std::atomic<bool> referenceMatches{true};
    std::atomic<std::uint64_t> referenceCalls{0};
    std::atomic<const void*> lastReference{nullptr};
    std::atomic<const void*> lastForm{nullptr};
};

State& S() {
    static State state;
    return state;
}

void* MenuSource() {
    return static_cast<std::uint8_t*>(Game::Get().Ui()) + kUiMenuEventSource;
}

void* TESTBED_GAME_CALL LoadGameSource() {
    return &S().sources[0];
}
void* TESTBED_GAME_CALL ExitVehicleSource() {
    return &S().sources[1];
}
void* TESTBED_GAME_CALL ActivateSource() {
    return &S().sources[2];
}

void TESTBED_GAME_CALL RegisterSink(void* source, void* sink) {
    State& s = S();
    EventKind kind;
    if (source == MenuSource()) {
        kind = EventKind::Menu;
    } else if (source == &s.sources[0]) {
        kind = EventKind::LoadGame;
    } else if (source == &s.sources[1]) {
        kind = EventKind::ExitVehicle;
    } else if (source == &s.sources[2]) {
        kind = EventKind::Activate;
    } else {
        s.invalidRegistrations.fetch_add(1);
        return;
    }
    std::lock_guard lock(s.mutex);
    s.registrations.push_back({kind, source, sink});
}

std::uint8_t TESTBED_GAME_CALL ReferenceTest(void* reference, void* form) {
    State& s = S();
    s.referenceCalls.fetch_add(1);
    s.lastReference.store(reference);
    s.lastForm.store(form);
    return s.referenceMatches.load() ? 1 : 0;
}

// Called by the plugin straight from the table, through its own declaration of the slot, whose
// C++ type differs from ours; the sanitizer's function-type check would stop that call.
#if defined(__clang__)
#define TESTBED_CALLED_THROUGH_THE_PLUGINS_TYPE __attribute__((no_sanitize("function")))
#else
#define TESTBED_CALLED_THROUGH_THE_PLUGINS_TYPE
#endif

TESTBED_CALLED_THROUGH_THE_PLUGINS_TYPE std::uint8_t TESTBED_GAME_CALL TypeCode(BaseObject* self) {
    S().typeCodeCalls.fetch_add(1);
    return self->typeCode;
}

// Slot 34 of every base object's table; the other slots are never called.
constexpr std::size_t kTypeCodeSlot = 34;
const std::array<void*, 40> kBaseObjectTable = [] {
    std::array<void*, 40> table{};
    table[kTypeCodeSlot] = reinterpret_cast<void*>(&TypeCode);
    return table;
}();

}  // namespace

const char* EventKindName(EventKind kind) {
    switch (kind) {
        case EventKind::Menu:
            return "menu";
        case EventKind::LoadGame:
            return "load-game";
        case EventKind::ExitVehicle:
            return "exit-vehicle";
        case EventKind::Activate:
            return "activate";
    }
    return "?";
}

void Reference::SetValue(std::uint32_t value) {
    std::memcpy(bytes + 0x28, &value, sizeof value);
}

void Reference::SetBaseObject(const void* baseObject) {
    std::memcpy(bytes + 0x98, &baseObject, sizeof baseObject);
}

GameEvents& GameEvents::Get() {
    static GameEvents events;
    return events;
}

GameEvents::GameEvents() {
    Game::Get();
    GameImage& image = GameImage::Get();
    image.PlaceFunction(kLoadGameEventSource, &LoadGameSource);
    image.PlaceFunction(kExitVehicleEventSource, &ExitVehicleSource);
    image.PlaceFunction(kActivateEventSource, &ActivateSource);
    image.PlaceFunction(kRegisterSink, &RegisterSink);
    image.PlaceFunction(kReferenceTest, &ReferenceTest);
}

void GameEvents::Reset() {
    State& s = S();
    {
        std::lock_guard lock(s.mutex);
        s.registrations.clear();
    }
    s.invalidRegistrations.store(0);
    s.typeCodeCalls.store(0);
    s.referenceMatches.store(true);
    s.referenceCalls.store(0);
    s.lastReference.store(nullptr);
    s.lastForm.store(nullptr);
}

void* GameEvents::Source(EventKind kind) {
    switch (kind) {
        case EventKind::Menu:
            return MenuSource();
        case EventKind::LoadGame:
            return &S().sources[0];
        case EventKind::ExitVehicle:
            return &S().sources[1];
        case EventKind::Activate:
            return &S().sources[2];
    }
    return nullptr;
}

std::vector<GameEvents::Registration> GameEvents::Registrations() const {
    std::lock_guard lock(S().mutex);
    return S().registrations;
}

std::uint64_t GameEvents::InvalidRegistrations() const {
    return S().invalidRegistrations.load();
}

std::uint32_t GameEvents::CallHandleEvent(void* sink, const void* event, void* source) {
    using HandleEventFn = std::uint32_t(TESTBED_GAME_CALL*)(void*, const void*, void*);
    void* const* table = *static_cast<void* const* const*>(sink);
    return reinterpret_cast<HandleEventFn>(table[1])(sink, event, source);
}

std::vector<std::uint32_t> GameEvents::Dispatch(EventKind kind, const void* event) {
    std::vector<std::uint32_t> results;
    // The sinks run without our lock held: a sink may register or dispatch in turn.
    for (const Registration& r : Registrations()) {
        if (r.kind == kind) {
            results.push_back(CallHandleEvent(r.sink, event, r.source));
        }
    }
    return results;
}

std::vector<std::uint32_t> GameEvents::DispatchLoadGame() {
    const std::uint8_t event[8] = {};
    return Dispatch(EventKind::LoadGame, event);
}

std::vector<std::uint32_t> GameEvents::DispatchExitVehicle() {
    const std::uint8_t event[8] = {};
    return Dispatch(EventKind::ExitVehicle, event);
}

std::vector<std::uint32_t> GameEvents::DispatchActivate(const ActivateEventRecord& event) {
    return Dispatch(EventKind::Activate, &event);
}

std::vector<std::uint32_t> GameEvents::DispatchMenu(const char* name, bool opening,
                                                    std::uint8_t flags) {
    StringEntry entry{};
    entry.flags = flags;
    if (name != nullptr) {
        std::strncpy(entry.text, name, sizeof entry.text - 1);
    }
    const MenuEventRecord record{name != nullptr ? &entry : nullptr,
                                 static_cast<std::uint8_t>(opening ? 1 : 0)};
    return Dispatch(EventKind::Menu, &record);
}

BaseObject GameEvents::MakeBaseObject(std::uint8_t typeCode) {
    return BaseObject{kBaseObjectTable.data(), typeCode};
}

std::uint64_t GameEvents::TypeCodeCalls() const {
    return S().typeCodeCalls.load();
}

void GameEvents::SetReferenceTestResult(bool matches) {
    S().referenceMatches.store(matches);
}

std::uint64_t GameEvents::ReferenceTestCalls() const {
    return S().referenceCalls.load();
}

const void* GameEvents::LastReferenceTested() const {
    return S().lastReference.load();
}

const void* GameEvents::LastFormTested() const {
    return S().lastForm.load();
}

}  // namespace testbed
