#include "GameRuntime.h"

#include <array>
#include <bit>
#include <cstring>
#include <stdexcept>

#include "GameImage.h"

#ifndef _WIN32
#include "winshim/control.h"
#endif

namespace testbed {

namespace {

using namespace layout;

// The game's objects reached through its globals.
struct UiObject {
    std::uint8_t bytes[0x100] = {};
};
struct TrackedObject {
    alignas(16) std::uint8_t bytes[0x100] = {};
};

struct Handle {
    StringEntry* entry;
};

constexpr std::size_t kPoolSize = 64;
constexpr std::array<std::string_view, 6> kMenus = {
    "FaderMenu", "LoadingMenu", "EndGameCreditsMenu", "HUDMenu", "PauseMenu", "DataMenu"};

struct State {
    UiObject ui;
    TrackedObject tracked;
    std::array<StringEntry, kPoolSize> pool{};
    std::array<std::atomic<bool>, kPoolSize> poolUsed{};
    std::array<std::atomic<bool>, kMenus.size()> menuOpen{};
    std::atomic<bool> menuQueryThrows{false};
    std::atomic<std::uint32_t> float1{0};
    std::atomic<std::uint32_t> float2{0};
    std::atomic<bool> truth{false};

    std::atomic<std::uint64_t> vehicleUpdates{0};
    std::atomic<std::uint64_t> stringsBuilt{0};
    std::atomic<std::uint64_t> stringsReleased{0};
    std::atomic<std::uint64_t> menuQueries{0};
    std::atomic<std::uint64_t> float1Queries{0};
    std::atomic<std::uint64_t> float2Queries{0};
    std::atomic<std::uint64_t> truthQueries{0};
    std::atomic<std::uint64_t> contractViolations{0};
    std::atomic<std::uint8_t> byteSeen{0};
    std::atomic<void*> lastUpdateObject{nullptr};
};

State& S() {
    static State state;
    return state;
}

GameImage& Image() {
    return GameImage::Get();
}

template <class T>
T* GlobalPointer(std::uintptr_t offset) {
    return Image().Read<T*>(offset);
}

void Violation() {
    S().contractViolations.fetch_add(1, std::memory_order_relaxed);
}

std::uint8_t ReadHandbrakeByte() {
    return std::atomic_ref<std::uint8_t>(*Image().At(kHandbrakeByte))
        .load(std::memory_order_relaxed);
}

// --- The game's functions, reached through jumps placed at their offsets. ---

std::uint64_t TESTBED_GAME_CALL VehicleUpdate(void* updateObject) {
    S().byteSeen.store(ReadHandbrakeByte(), std::memory_order_relaxed);
    S().lastUpdateObject.store(updateObject, std::memory_order_relaxed);
    S().vehicleUpdates.fetch_add(1, std::memory_order_relaxed);
    return Game::kVehicleUpdateResult;
}

void* TESTBED_GAME_CALL StringBuild(Handle* handle, const char* text, std::uint32_t zero) {
    if (handle == nullptr || text == nullptr || zero != 0 || handle->entry != nullptr) {
        Violation();
        return handle;
    }
    State& s = S();
    for (std::size_t i = 0; i < kPoolSize; ++i) {
        bool expected = false;
        if (s.poolUsed[i].compare_exchange_strong(expected, true, std::memory_order_acquire)) {
            StringEntry& e = s.pool[i];
            std::strncpy(e.text, text, sizeof e.text - 1);
            e.text[sizeof e.text - 1] = '\0';
            e.flags = 0;
            handle->entry = &e;
            s.stringsBuilt.fetch_add(1, std::memory_order_relaxed);
            return handle;
        }
    }
    handle->entry = nullptr;  // pool exhausted: the game hands back an empty string
    return handle;
}

void TESTBED_GAME_CALL StringRelease(Handle* handle) {
    State& s = S();
    if (handle == nullptr || handle->entry == nullptr) {
        Violation();
        return;
    }
    const auto index = static_cast<std::size_t>(handle->entry - s.pool.data());
    if (index >= kPoolSize || !s.poolUsed[index].exchange(false, std::memory_order_release)) {
        Violation();  // not ours, or released twice
    } else {
        s.stringsReleased.fetch_add(1, std::memory_order_relaxed);
    }
    handle->entry = nullptr;
}

std::uint8_t TESTBED_GAME_CALL MenuQuery(void* ui, Handle* name) {
    State& s = S();
    s.menuQueries.fetch_add(1, std::memory_order_relaxed);
    if (ui != &s.ui || name == nullptr || name->entry == nullptr) {
        Violation();
        return 0;
    }
    if (s.menuQueryThrows.load()) {
        throw std::runtime_error("menu query failed");
    }
    const std::string_view text(name->entry->text);
    for (std::size_t i = 0; i < kMenus.size(); ++i) {
        if (kMenus[i] == text) {
            return s.menuOpen[i].load(std::memory_order_relaxed) ? 1 : 0;
        }
    }
    return 0;
}

void CheckTrackedArguments(void** copy, std::uint64_t a, std::uint64_t b, float* out) {
    if (copy == nullptr || *copy != GlobalPointer<void>(kTrackedSingletonGlobal) || a != 0 ||
        b != 0 || out == nullptr) {
        Violation();
    }
}

void TESTBED_GAME_CALL FloatQuery1(void** copy, std::uint64_t a, std::uint64_t b, float* out) {
    S().float1Queries.fetch_add(1, std::memory_order_relaxed);
    CheckTrackedArguments(copy, a, b, out);
    if (out != nullptr) {
        *out = std::bit_cast<float>(S().float1.load(std::memory_order_relaxed));
    }
}

void TESTBED_GAME_CALL FloatQuery2(void** copy, std::uint64_t a, std::uint64_t b, float* out) {
    S().float2Queries.fetch_add(1, std::memory_order_relaxed);
    CheckTrackedArguments(copy, a, b, out);
    if (out != nullptr) {
        *out = std::bit_cast<float>(S().float2.load(std::memory_order_relaxed));
    }
}

std::uint64_t TESTBED_GAME_CALL TruthQuery() {
    S().truthQueries.fetch_add(1, std::memory_order_relaxed);
    // Only the low byte carries the answer; the rest is noise a careless caller would misread.
    return S().truth.load(std::memory_order_relaxed) ? 0x100000001 : 0;
}

}  // namespace

void UpdateObject::SetFloat(float value) {
    std::memcpy(bytes + kUpdateObjectFloat, &value, sizeof value);
}

Game& Game::Get() {
    static Game game;
    return game;
}

Game::Game() {
    PlaceCode();
    Reset();
}

void Game::PlaceCode() {
    GameImage& image = Image();
    // The caller around the call site: sub rsp,28h / call VehicleUpdate / add rsp,28h / ret.
    const auto rel = static_cast<std::int32_t>(kVehicleUpdate - (kVehicleUpdateCallSite + 5));
    std::uint8_t caller[14] = {0x48, 0x83, 0xEC, 0x28, 0xE8, 0,    0,
                               0,    0,    0x48, 0x83, 0xC4, 0x28, 0xC3};
    std::memcpy(caller + 5, &rel, sizeof rel);
    image.Write(kFrameCaller, caller, sizeof caller);
    image.PlaceFunction(kVehicleUpdate, &VehicleUpdate);
    image.PlaceFunction(kStringBuild, &StringBuild);
    image.PlaceFunction(kStringRelease, &StringRelease);
    image.PlaceFunction(kMenuQuery, &MenuQuery);
    image.PlaceFunction(kFloatQuery1, &FloatQuery1);
    image.PlaceFunction(kFloatQuery2, &FloatQuery2);
    image.PlaceFunction(kTruthQuery, &TruthQuery);
    image.Protect(kFrameCaller, sizeof caller, PAGE_EXECUTE_READ);
}

void Game::Reset() {
    State& s = S();
    // The game's own call at the site, undoing any redirect a previous test wrote.
    const auto rel = static_cast<std::int32_t>(kVehicleUpdate - (kVehicleUpdateCallSite + 5));
    std::uint8_t call[5] = {0xE8};
    std::memcpy(call + 1, &rel, sizeof rel);
    Image().Write(kVehicleUpdateCallSite, call, sizeof call);
    // mov byte ptr [rbx+110h], 03h: the immediate is the handbrake byte.
    Image().Write(kHandbrakePatchSite, {0xC6, 0x83, 0x10, 0x01, 0x00, 0x00, kShippedHandbrakeByte});
    Image().Protect(kHandbrakePatchSite, 7, PAGE_EXECUTE_READ);
    for (auto& open : s.menuOpen) {
        open.store(false);
    }
    s.menuQueryThrows.store(false);
    SetUiPresent(true);
    SetTrackedPresent(true);
    SetTrackedField(1);
    SetFloat1(1.0f);
    SetFloat2(1.0f);
    SetTruth(false);
    for (auto* c : {&s.vehicleUpdates, &s.stringsBuilt, &s.stringsReleased, &s.menuQueries,
                    &s.float1Queries, &s.float2Queries, &s.truthQueries, &s.contractViolations}) {
        c->store(0);
    }
    s.byteSeen.store(0);
    s.lastUpdateObject.store(nullptr);
}

std::uint64_t Game::Frame(void* updateObject) {
    using Caller = std::uint64_t(TESTBED_GAME_CALL*)(void*);
    return reinterpret_cast<Caller>(Image().At(kFrameCaller))(updateObject);
}

void Game::SetMenuOpen(std::string_view name, bool open) {
    for (std::size_t i = 0; i < kMenus.size(); ++i) {
        if (kMenus[i] == name) {
            S().menuOpen[i].store(open);
            return;
        }
    }
    throw std::invalid_argument("the testbed's UI has no such menu");
}

std::span<const std::string_view> Game::MenuNames() {
    return kMenus;
}

void Game::SetMenuQueryThrows(bool throws) {
    S().menuQueryThrows.store(throws);
}

void Game::SetUiPresent(bool present) {
    Image().WriteValue<void*>(kGameUiGlobal, present ? &S().ui : nullptr);
}

void Game::SetTrackedPresent(bool present) {
    Image().WriteValue<void*>(kTrackedSingletonGlobal, present ? &S().tracked : nullptr);
}

void Game::SetTrackedField(std::uintptr_t value) {
    std::memcpy(S().tracked.bytes + kTrackedField, &value, sizeof value);
}

void* Game::Ui() {
    return &S().ui;
}
void* Game::Tracked() {
    return &S().tracked;
}

void Game::SetFloat1(float value) {
    S().float1.store(std::bit_cast<std::uint32_t>(value));
}
void Game::SetFloat2(float value) {
    S().float2.store(std::bit_cast<std::uint32_t>(value));
}
void Game::SetTruth(bool value) {
    S().truth.store(value);
}

void Game::SetKeyDown(int virtualKey, bool down) {
    // The thread's key state as the keyboard leaves it on Windows: a Shift, Ctrl or Alt key
    // holds its own code and the generic one (Left Shift: VK_LSHIFT and VK_SHIFT), and the
    // generic code alone, a key with no side, is taken for the left one. SetKeyboardState sets
    // exactly the bytes it is given, and the stand-in's table likewise, so each is set here.
    struct Modifier {
        int generic, left, right;
    };
    static constexpr Modifier kModifiers[] = {
        {0x10, 0xA0, 0xA1}, {0x11, 0xA2, 0xA3}, {0x12, 0xA4, 0xA5}};
    const int key = virtualKey & 0xFF;
#ifdef _WIN32
    BYTE keys[256];
    GetKeyboardState(keys);
    const auto held = [&](int code) { return (keys[code] & 0x80) != 0; };
    const auto set = [&](int code, bool isDown) { keys[code] = isDown ? 0x80 : 0x00; };
#else
    const auto held = [](int code) {
        return (static_cast<unsigned short>(GetKeyState(code)) & 0x8000u) != 0;
    };
    const auto set = [](int code, bool isDown) { winshim::SetKeyDown(code, isDown); };
#endif
    set(key, down);
    for (const Modifier& m : kModifiers) {
        if (key == m.generic) {
            set(m.left, down);
        }
        if (key == m.generic || key == m.left || key == m.right) {
            set(m.generic, held(m.left) || held(m.right));
        }
    }
#ifdef _WIN32
    SetKeyboardState(keys);
#endif
}

std::uint8_t Game::HandbrakeByte() const {
    return ReadHandbrakeByte();
}

void Game::SetHandbrakeByte(std::uint8_t value) {
    Image().WriteValue(kHandbrakeByte, value);
}

DWORD Game::HandbrakeProtection() const {
    return Image().ProtectionAt(kHandbrakeByte);
}

Game::Counters Game::Count() const {
    const State& s = S();
    return {s.vehicleUpdates.load(), s.stringsBuilt.load(),      s.stringsReleased.load(),
            s.menuQueries.load(),    s.float1Queries.load(),     s.float2Queries.load(),
            s.truthQueries.load(),   s.contractViolations.load()};
}

std::uint8_t Game::ByteSeenByLastUpdate() const {
    return S().byteSeen.load();
}

void* Game::LastUpdateObject() const {
    return S().lastUpdateObject.load();
}

}  // namespace testbed
