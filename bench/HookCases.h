// The hook's steady states as the timing programs put the game and the plugin into them: Google
// Benchmark's hook_bench natively and hook_timing under Wine measure the same cases this way, so
// their figures stand side by side.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <thread>

#include "Gamepads.h"
#include "game/GameOffsets.h"
#include "game/GameQueries.h"
#include "hook/ControlState.h"
#include "hook/VehicleUpdateCall.h"
#include "hook/VehicleUpdateHook.h"
#include "input/GamepadReader.h"
#include "log/Log.h"
#include "settings/Settings.h"
#include "settings/SettingsWatcher.h"
#include "support/GameState.h"

namespace taviro::bench {

inline testbed::UpdateObject& Vehicle() {
    static testbed::UpdateObject vehicle;
    return vehicle;
}

// A log of the program's own, so that trace lines really go into the queue.
inline bool OpenLog() {
    const auto folder = std::filesystem::temp_directory_path() / "taviro-bench-log";
    std::filesystem::create_directories(folder);
    return log::Open({folder});
}

// Past the warm-up, nothing open, no window; the hook calls on to the game's function, as a load
// records it when no other plugin redirected the call first.
inline void SetUpGame(bool trace = false) {
    testing::StartGameWithDataLoaded(testbed::Game::Get());
    PublishSettings({});  // no hotkey, and no pad reader left running by a case before
    RecordVehicleUpdateTarget(game::Address(offsets::kVehicleUpdate.offset));
    std::lock_guard lock(StateMutex);
    controlState.warmupCount = kWarmupCalls;
    controlState.loggingEnabled.store(trace, std::memory_order_relaxed);
    Vehicle().SetFloat(1.0f);
}

// Driving with no window open: both menus asked, both floats, the flag, then the reset path.
inline void SetUpResetPath(bool trace) {
    SetUpGame(trace);
    testbed::Game::Get().SetFloat1(0.0f);
}

// The reset path with a hotkey bound and not held: a key is asked of the system on every call, a
// controller's button is one load of the pad reader's word, which reads the pads meanwhile.
inline constexpr int kKeyHotkey = 0x47;  // G
inline constexpr int kPadHotkey = 0xC3;  // A on the controller

inline void SetUpResetPathWithHotkey(int code, bool toggle = false) {
    SetUpResetPath(false);
    Settings settings;
    settings.hotkey.value = static_cast<std::uint32_t>(code);
    settings.toggle.value = toggle ? 1u : 0u;
    if (gamepad::IsPadCode(settings.hotkey.value)) {
        testbed::Gamepads& pads = testbed::Gamepads::Get();
        if (pads.Load()) {
            pads.Connect(0, true);
        } else {
            std::fprintf(stderr, "no pad to read, so the reader reads none: %s\n",
                         pads.Error().c_str());
        }
    }
    PublishSettings(settings);  // as a save of the settings does: the pad reader starts
}

// The pad reader stopped, so that it takes nothing from the cases after.
inline void StopReadingPads() {
    PublishSettings({});
}

// Engaged inside an activation window: the game's function runs on every call.
inline void SetUpEngagedPath(bool trace) {
    SetUpGame(trace);
    std::lock_guard lock(StateMutex);
    controlState.activationWindowOpen = true;
    controlState.engageStage = kEngageStageEngaged;
}

// Keeps the activation window open: its length would otherwise end the steady state.
inline std::uint64_t EngagedCall() {
    controlState.windowCount = 0;
    return VehicleUpdateHook(&Vehicle());
}

inline std::uint64_t HookCall() {
    return VehicleUpdateHook(&Vehicle());
}

// Engaged by a toggled hotkey, the controller's A tapped once: every call looks for another press
// (one load of the pad reader's count) and finds the toggle on.
inline void SetUpToggledOn() {
    SetUpResetPathWithHotkey(kPadHotkey, true);
    HookCall();  // the toggle's first look, which counts no press
    testbed::Gamepads& pads = testbed::Gamepads::Get();
    for (const bool down : {true, false}) {
        pads.SetButton(0, kPadHotkey, down);
        pads.AwaitRead(0);
    }
    HookCall();
}

inline std::uint64_t GameFunctionDirect() {
    return game::Call(offsets::kVehicleUpdate, &Vehicle());
}

// The game functions the reset path calls, called directly: what the hook costs beyond these is
// the plugin's own. The results are summed so that nothing is left for the compiler to drop.
inline std::uint64_t GameCallsOfTheResetPath() {
    std::uint64_t results = 0;
    for (const char* name : {"FaderMenu", "LoadingMenu"}) {
        GameString s;
        game::Call(offsets::kStringBuild, &s, name, 0u);
        results += game::Call(offsets::kMenuQuery, controlState.gameUi, &s) ? 1u : 0u;
        game::Call(offsets::kStringRelease, &s);
    }
    float f = 0.0f;
    void* copy = controlState.trackedSingleton;
    game::Call(offsets::kFloatQuery1, &copy, 0u, 0u, &f);
    game::Call(offsets::kFloatQuery2, &copy, 0u, 0u, &f);
    results += f != 0.0f ? 1u : 0u;
    results += game::Call(offsets::kTruthQuery) ? 1u : 0u;
    return results;
}

// Another thread holds the state for the object's lifetime, as a sink does while it works: the
// hook gives up at once and lets the game run.
class StateHeldElsewhere {
public:
    StateHeldElsewhere()
        : m_gate(m_mutex), m_holder([this] {
              std::lock_guard state(StateMutex);
              std::lock_guard wait(m_mutex);
          }) {
        while (true) {
            std::unique_lock probe(StateMutex, std::try_to_lock);
            if (!probe.owns_lock()) {
                break;
            }
            probe.unlock();
            std::this_thread::yield();
        }
    }
    ~StateHeldElsewhere() {
        m_gate.unlock();
        m_holder.join();
    }
    StateHeldElsewhere(const StateHeldElsewhere&) = delete;
    StateHeldElsewhere& operator=(const StateHeldElsewhere&) = delete;

private:
    std::mutex m_mutex;
    std::unique_lock<std::mutex> m_gate;
    std::thread m_holder;
};

}  // namespace taviro::bench
