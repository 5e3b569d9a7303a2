// Cost of one hook call in its steady states, next to a direct call of the game's function, so
// the hook's own overhead is the difference within one run.
#include <benchmark/benchmark.h>

#include <mutex>
#include <thread>

#include "plugin/ControlState.h"
#include "plugin/GameAddresses.h"
#include "plugin/GameMemory.h"
#include "plugin/GameOffsets.h"
#include "plugin/VehicleUpdateHook.h"
#include "testbed/GameImage.h"
#include "testbed/GameLayout.h"
#include "testbed/GameRuntime.h"

namespace {

using namespace taviro;

testbed::UpdateObject vehicle;

void SetUpGame() {
    testbed::Game& game = testbed::Game::Get();
    game.Reset();
    ResolveStartupAddresses();
    std::lock_guard lock(StateMutex);
    controlState.gameUi = game.Ui();
    controlState.trackedSingleton = game.Tracked();
    controlState.patchSite.store(testbed::GameImage::Get().At(testbed::layout::kPatchSite));
    controlState.warmupCount = kWarmupCalls;
    controlState.engageStage = kEngageStageReset;
    controlState.activationWindowOpen = false;
    controlState.exitWindowOpen = false;
    controlState.windowCount = kWindowLength;
    controlState.hotkeyCode = 0;
    vehicle.SetFloat(1.0f);
}

void BM_GameFunctionDirect(benchmark::State& st) {
    SetUpGame();
    for (auto _ : st) {
        benchmark::DoNotOptimize(
            game::Call<std::uint64_t, void*>(offsets::kVehicleUpdate, &vehicle));
    }
}
BENCHMARK(BM_GameFunctionDirect);

// The game functions the reset path calls, called directly: what the hook costs beyond these is
// the plugin's own.
void BM_GameCallsOfTheResetPath(benchmark::State& st) {
    SetUpGame();
    void* ui = controlState.gameUi;
    void* tracked = controlState.trackedSingleton;
    auto build =
        game::FunctionAt<void*, GameString*, const char*, std::uint32_t>(offsets::kStringBuild);
    auto release = game::FunctionAt<void, GameString*>(offsets::kStringRelease);
    auto menu = game::FunctionAt<std::uint8_t, void*, GameString*>(offsets::kIsMenuOpen);
    using FloatQuery = game::Function<void, void**, std::uint64_t, std::uint64_t, float*>;
    auto float1 = reinterpret_cast<FloatQuery>(game::Address(offsets::kTrackedFloatQuery1));
    auto float2 = reinterpret_cast<FloatQuery>(game::Address(offsets::kTrackedFloatQuery2));
    for (auto _ : st) {
        for (const char* name : {"FaderMenu", "LoadingMenu"}) {
            GameString s;
            build(&s, name, 0);
            benchmark::DoNotOptimize(menu(ui, &s));
            release(&s);
        }
        float f = 0.0f;
        void* copy = tracked;
        float1(&copy, 0, 0, &f);
        float2(&copy, 0, 0, &f);
        benchmark::DoNotOptimize(f);
        benchmark::DoNotOptimize(game::Call<std::uint64_t>(offsets::kGameFlagQuery));
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
