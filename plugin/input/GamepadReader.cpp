#include "input/GamepadReader.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <mutex>
#include <optional>

#include "log/Log.h"
#include "util/PluginThread.h"

namespace taviro::gamepad {

constinit std::atomic<std::uint32_t> heldButtons{0};
constinit std::atomic<std::uint32_t> hotkeyPresses{0};

namespace {

static_assert(kFirstCode == VK_GAMEPAD_A && kLastCode == VK_GAMEPAD_RIGHT_THUMBSTICK_LEFT);

using Clock = std::chrono::steady_clock;
using GetState = DWORD(WINAPI*)(DWORD userIndex, XINPUT_STATE* state);

constexpr DWORD kSlots = 4;
// 125 reads a second: a press shorter than a game's frame is still seen.
constexpr auto kPeriod = std::chrono::milliseconds(8);
constexpr auto kEmptySlotPause = std::chrono::seconds(1);

struct Library {
    const wchar_t* name;
    const char* shownName;
};
// In the order XInput's versions are to be preferred.
constexpr Library kLibraries[] = {
    {L"xinput1_4.dll", "xinput1_4.dll"},
    {L"xinput1_3.dll", "xinput1_3.dll"},
    {L"xinput9_1_0.dll", "xinput9_1_0.dll"},
};

struct Slot {
    bool connected = false;
    Clock::time_point nextTry{};  // for an empty slot: not asked before then
    bool saidConnected = false;   // what the log last said of it
    Clock::time_point nextSay{};  // no line of it before then
};

// A wireless pad losing its link now and then must not fill the log: each change is said once,
// at most once a second for each controller, and a change undone within that second not at all.
constexpr auto kSayPause = std::chrono::seconds(1);

// The binding the pads are read for, as the log names it while no controller is connected.
constexpr std::size_t kBindingSize = 96;
struct Binding {
    std::mutex mutex;
    char text[kBindingSize] = {};  // guarded by `mutex`
};
// Never destroyed, since the reader's thread may use it while the process ends; and made at the
// library's start, as mingw's std::mutex has no constant constructor.
Binding& binding = *new Binding;

// Touched by the reader's thread only, besides `watched`.
struct Reader {
    std::atomic<std::uint32_t> watched{0};
    bool libraryTried = false;
    GetState getState = nullptr;
    Slot slots[kSlots];
    char waitingSaidFor[kBindingSize] = {};  // the binding "no controller" was said for
    bool waitingSaid = false;
};
constinit Reader reader;

GetState StateFunction(HMODULE module) {
    const FARPROC found = module != nullptr ? GetProcAddress(module, "XInputGetState") : nullptr;
    // Through the one function type every other converts to and from without complaint.
    return reinterpret_cast<GetState>(reinterpret_cast<void (*)()>(found));
}

GetState LoadXInput() {
    for (const Library& library : kLibraries) {
        HMODULE module = nullptr;
        // Pinned: the game may let go of its XInput, and the reader must not call into a library
        // that is gone.
        if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN, library.name, &module)) {
            if (const GetState function = StateFunction(module)) {
                log::Info("controllers: read through %s, which the game has loaded",
                          library.shownName);
                return function;
            }
        }
    }
    // From System32 alone: a stray library of that name in the game's folder is not ours to load.
    for (const Library& library : kLibraries) {
        if (const GetState function = StateFunction(
                LoadLibraryExW(library.name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32))) {
            log::Info("controllers: read through %s from the system", library.shownName);
            return function;
        }
    }
    log::Error(
        "controllers: no XInput library (xinput1_4.dll, xinput1_3.dll, xinput9_1_0.dll) could be "
        "loaded, so controller buttons never count as held; keyboard and mouse keys still work");
    return nullptr;
}

void SayChange(DWORD index, bool connected) {
    const auto number = static_cast<unsigned long>(index) + 1;
    if (connected) {
        log::Info("controllers: controller %lu connected", number);
    } else {
        log::Info("controllers: controller %lu disconnected; its buttons count as let go", number);
    }
}

// Says what changed since the log last spoke of the controllers, and, while none is connected,
// that the binding waits for one: once, and again for another binding.
void SayChanges(Clock::time_point now) {
    bool anyConnected = false;
    for (DWORD i = 0; i < kSlots; ++i) {
        Slot& slot = reader.slots[i];
        if (slot.connected != slot.saidConnected && now >= slot.nextSay) {
            SayChange(i, slot.connected);
            slot.saidConnected = slot.connected;
            slot.nextSay = now + kSayPause;
        }
        anyConnected = anyConnected || slot.saidConnected;
    }
    if (anyConnected) {
        reader.waitingSaid = false;
        return;
    }
    std::lock_guard lock(binding.mutex);
    if (reader.waitingSaid && std::strcmp(reader.waitingSaidFor, binding.text) == 0) {
        return;
    }
    log::Info("controllers: no controller connected: the hotkey %s%swaits for one", binding.text,
              binding.text[0] != '\0' ? " " : "");
    std::memcpy(reader.waitingSaidFor, binding.text, kBindingSize);
    reader.waitingSaid = true;
}

// One read of every slot that is due: a pad that is not there any more lets its buttons go.
std::uint32_t ReadPads(GetState getState) {
    const Clock::time_point now = Clock::now();
    std::uint32_t held = 0;
    for (DWORD i = 0; i < kSlots; ++i) {
        Slot& slot = reader.slots[i];
        if (!slot.connected && now < slot.nextTry) {
            continue;
        }
        XINPUT_STATE state{};
        const bool connected = getState(i, &state) == ERROR_SUCCESS;
        slot.connected = connected;
        if (connected) {
            held |= ButtonsHeldOn(state.Gamepad);
        } else {
            slot.nextTry = now + kEmptySlotPause;
        }
    }
    return held;
}

// The codes presses are counted for, the hotkey's in the low byte and the modifier's above it:
// one word, so that a read never takes one binding's button with another's modifier. Nothing else
// is published with it, hence relaxed.
constinit std::atomic<std::uint32_t> pressBinding{0};

// What the last read saw held, every button of it, so that a change of the binding turns no
// button already held into a press. Touched by the reader's thread only.
struct PressBaseline {
    bool taken = false;  // false: no read since the reader started
    std::uint32_t held = 0;
};
constinit PressBaseline pressBaseline;

// The first read after a start only takes in what is held: a button held while nothing was read
// is no press.
void CountPresses(std::uint32_t held) {
    const std::uint32_t counted = pressBinding.load(std::memory_order_relaxed);
    const std::uint32_t key = CodeBit(counted & 0xFF);
    const std::uint32_t modifier = CodeBit(counted >> 8 & 0xFF);
    if (pressBaseline.taken && (held & key) != 0 && (pressBaseline.held & key) == 0 &&
        (held & modifier) == modifier) {
        hotkeyPresses.fetch_add(1, std::memory_order_relaxed);
    }
    pressBaseline = {true, held};
}

std::optional<std::chrono::microseconds> ReaderStep() {
    if (reader.watched.load(std::memory_order_acquire) == 0) {
        heldButtons.store(0, std::memory_order_relaxed);
        pressBaseline = {};
        return std::nullopt;  // until a controller code is bound again
    }
    if (!reader.libraryTried) {
        reader.libraryTried = true;
        reader.getState = LoadXInput();
    }
    if (reader.getState == nullptr) {
        return std::nullopt;
    }
    const std::uint32_t held = ReadPads(reader.getState);
    CountPresses(held);
    heldButtons.store(held, std::memory_order_relaxed);
    SayChanges(Clock::now());
    return kPeriod;
}

PluginThread& ReaderThread() {
    return PluginThread::Of(&ReaderStep);
}

}  // namespace

std::uint32_t ButtonsHeldOn(const XINPUT_GAMEPAD& pad) {
    struct ButtonCode {
        WORD button;
        std::uint32_t code;
    };
    static constexpr ButtonCode kButtons[] = {
        {XINPUT_GAMEPAD_A, VK_GAMEPAD_A},
        {XINPUT_GAMEPAD_B, VK_GAMEPAD_B},
        {XINPUT_GAMEPAD_X, VK_GAMEPAD_X},
        {XINPUT_GAMEPAD_Y, VK_GAMEPAD_Y},
        {XINPUT_GAMEPAD_RIGHT_SHOULDER, VK_GAMEPAD_RIGHT_SHOULDER},
        {XINPUT_GAMEPAD_LEFT_SHOULDER, VK_GAMEPAD_LEFT_SHOULDER},
        {XINPUT_GAMEPAD_DPAD_UP, VK_GAMEPAD_DPAD_UP},
        {XINPUT_GAMEPAD_DPAD_DOWN, VK_GAMEPAD_DPAD_DOWN},
        {XINPUT_GAMEPAD_DPAD_LEFT, VK_GAMEPAD_DPAD_LEFT},
        {XINPUT_GAMEPAD_DPAD_RIGHT, VK_GAMEPAD_DPAD_RIGHT},
        {XINPUT_GAMEPAD_START, VK_GAMEPAD_MENU},
        {XINPUT_GAMEPAD_BACK, VK_GAMEPAD_VIEW},
        {XINPUT_GAMEPAD_LEFT_THUMB, VK_GAMEPAD_LEFT_THUMBSTICK_BUTTON},
        {XINPUT_GAMEPAD_RIGHT_THUMB, VK_GAMEPAD_RIGHT_THUMBSTICK_BUTTON},
    };
    std::uint32_t held = 0;
    for (const ButtonCode& b : kButtons) {
        if ((pad.wButtons & b.button) != 0) {
            held |= CodeBit(b.code);
        }
    }
    // An analogue input as a button: held past its threshold, in one direction.
    struct Analogue {
        int value;
        int threshold;  // positive: held above it; negative: held below it
        int code;
    };
    constexpr int kTrigger = XINPUT_GAMEPAD_TRIGGER_THRESHOLD;
    constexpr int kLeft = XINPUT_GAMEPAD_LEFT_THUMB_DEADZONE;
    constexpr int kRight = XINPUT_GAMEPAD_RIGHT_THUMB_DEADZONE;
    const Analogue analogues[] = {
        {pad.bLeftTrigger, kTrigger, VK_GAMEPAD_LEFT_TRIGGER},
        {pad.bRightTrigger, kTrigger, VK_GAMEPAD_RIGHT_TRIGGER},
        {pad.sThumbLY, kLeft, VK_GAMEPAD_LEFT_THUMBSTICK_UP},
        {pad.sThumbLY, -kLeft, VK_GAMEPAD_LEFT_THUMBSTICK_DOWN},
        {pad.sThumbLX, kLeft, VK_GAMEPAD_LEFT_THUMBSTICK_RIGHT},
        {pad.sThumbLX, -kLeft, VK_GAMEPAD_LEFT_THUMBSTICK_LEFT},
        {pad.sThumbRY, kRight, VK_GAMEPAD_RIGHT_THUMBSTICK_UP},
        {pad.sThumbRY, -kRight, VK_GAMEPAD_RIGHT_THUMBSTICK_DOWN},
        {pad.sThumbRX, kRight, VK_GAMEPAD_RIGHT_THUMBSTICK_RIGHT},
        {pad.sThumbRX, -kRight, VK_GAMEPAD_RIGHT_THUMBSTICK_LEFT},
    };
    for (const Analogue& a : analogues) {
        if (a.threshold > 0 ? a.value > a.threshold : a.value < a.threshold) {
            held |= CodeBit(static_cast<std::uint32_t>(a.code));
        }
    }
    return held;
}

void CountPressesOf(std::uint32_t key, std::uint32_t modifier) {
    pressBinding.store((key & 0xFF) | (modifier & 0xFF) << 8, std::memory_order_relaxed);
}

void Watch(std::uint32_t codes, const std::string& bound) {
    {
        std::lock_guard lock(binding.mutex);
        std::snprintf(binding.text, kBindingSize, "%s", bound.c_str());
    }
    const std::uint32_t before = reader.watched.exchange(codes, std::memory_order_acq_rel);
    // Started for the codes bound now, or woken to let every button go and stop reading.
    if (codes != 0 || before != 0) {
        ReaderThread().StartOrWake();
    }
}

void ResetReader() {
    reader.watched.store(0, std::memory_order_release);
    ReaderThread().Stop(std::chrono::seconds(5));
    heldButtons.store(0, std::memory_order_relaxed);
    hotkeyPresses.store(0, std::memory_order_relaxed);
    pressBaseline = {};
    reader.libraryTried = false;
    reader.getState = nullptr;
    for (Slot& slot : reader.slots) {
        slot = Slot{};
    }
    reader.waitingSaid = false;
}

}  // namespace taviro::gamepad
