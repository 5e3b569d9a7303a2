// Cost of one hook call in its steady states, next to a direct call of the game's function, so
// the hook's own overhead is the difference within one run.
#include <benchmark/benchmark.h>

#include <mutex>
#include <thread>

#include "ControlState.h"
#include "GameOffsets.h"
#include "VehicleUpdateHook.h"
#include "support/GameState.h"

namespace {

using namespace taviro;

testbed::UpdateObject vehicle;

// Past the warm-up, nothing open, no window.
void SetUpGame() {
    testing::StartGameWithDataLoaded(testbed::Game::Get());
    std::lock_guard lock(StateMutex);
    controlState.warmupCount = kWarmupCalls;
    vehicle.SetFloat(1.0f);
}

void BM_GameFunctionDirect(benchmark::State& st) {
    SetUpGame();
    for (auto _ : st) {
        benchmark::DoNotOptimize(game::Call(offsets::kVehicleUpdate, &vehicle));
    }
}
BENCHMARK(BM_GameFunctionDirect);

// The game functions the reset path calls, called directly: what the hook costs beyond these is
// the plugin's own.
void BM_GameCallsOfTheResetPath(benchmark::State& st) {
    SetUpGame();
    void* ui = controlState.gameUi;
    void* tracked = controlState.trackedSingleton;
    for (auto _ : st) {
        for (const char* name : {"FaderMenu", "LoadingMenu"}) {
            GameString s;
            game::Call(offsets::kStringBuild, &s, name, 0u);
            benchmark::DoNotOptimize(game::Call(offsets::kMenuQuery, ui, &s));
            game::Call(offsets::kStringRelease, &s);
        }
        float f = 0.0f;
        void* copy = tracked;
        game::Call(offsets::kFloatQuery1, &copy, 0u, 0u, &f);
        game::Call(offsets::kFloatQuery2, &copy, 0u, 0u, &f);
        benchmark::DoNotOptimize(f);
        benchmark::DoNotOptimize(game::Call(offsets::kTruthQuery));
    }
}
BENCHMARK(BM_GameCallsOfTheResetPath);

// Driving with no window open: both menus asked, both floats, the flag, then the reset path.
void BM_HookResetPath(benchmark::State& st) {
    SetUpGame();
    testbed::Game::Get().SetFloat1(0.0f);
    for (auto _ : st) {
        benchmark::DoNotOptimize(VehicleUpdateHook(&vehicle));
    }
}
BENCHMARK(BM_HookResetPath);

// Engaged inside an activation window: the game's function runs on every call.
void BM_HookEngagedPath(benchmark::State& st) {
    SetUpGame();
    {
        std::lock_guard lock(StateMutex);
        controlState.activationWindowOpen = true;
        controlState.engageStage = kEngageStageEngaged;
    }
    for (auto _ : st) {
        // Keep the window open: its length would otherwise end the steady state.
        controlState.windowCount = 0;
        benchmark::DoNotOptimize(VehicleUpdateHook(&vehicle));
    }
}
BENCHMARK(BM_HookEngagedPath);

// Another thread holds the state: the hook gives up at once and lets the game run.
void BM_HookBusyPath(benchmark::State& st) {
    SetUpGame();
    std::mutex m;
    std::unique_lock gate(m);
    std::thread holder([&] {
        std::lock_guard state(StateMutex);
        std::lock_guard wait(m);
    });
    while (true) {
        std::unique_lock probe(StateMutex, std::try_to_lock);
        if (!probe.owns_lock()) {
            break;
        }
        probe.unlock();
        std::this_thread::yield();
    }
    for (auto _ : st) {
        benchmark::DoNotOptimize(VehicleUpdateHook(&vehicle));
    }
    gate.unlock();
    holder.join();
}
BENCHMARK(BM_HookBusyPath);

}  // namespace

BENCHMARK_MAIN();
