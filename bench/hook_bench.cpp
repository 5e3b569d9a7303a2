// Cost of one hook call in its steady states, next to a direct call of the game's function, so
// the hook's own overhead is the difference within one run; the same with the decision trace on,
// and the cost of one trace line on the hook's side.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>

#include "ControlState.h"
#include "GameOffsets.h"
#include "Log.h"
#include "VehicleUpdateHook.h"
#include "support/GameState.h"

namespace {

using namespace taviro;

testbed::UpdateObject vehicle;

// A log of the benchmark's own, so that trace lines really go into the queue.
const bool logOpen = [] {
    const auto folder = std::filesystem::temp_directory_path() / "taviro-bench-log";
    std::filesystem::create_directories(folder);
    return log::Open({folder});
}();

// Past the warm-up, nothing open, no window; the decision trace as the benchmark's argument.
void SetUpGame(const benchmark::State& st) {
    testing::StartGameWithDataLoaded(testbed::Game::Get());
    std::lock_guard lock(StateMutex);
    controlState.warmupCount = kWarmupCalls;
    controlState.loggingEnabled = st.range(0) != 0;
    vehicle.SetFloat(1.0f);
}

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
    SetUpGame(st);
    testbed::Game::Get().SetFloat1(0.0f);
    for (auto _ : st) {
        benchmark::DoNotOptimize(VehicleUpdateHook(&vehicle));
    }
}
BENCHMARK(BM_HookResetPath)->ArgName("trace")->Arg(0)->Arg(1);

// Engaged inside an activation window: the game's function runs on every call.
void BM_HookEngagedPath(benchmark::State& st) {
    SetUpGame(st);
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
BENCHMARK(BM_HookEngagedPath)->ArgName("trace")->Arg(0)->Arg(1);

// One trace line as the hook hands it over: a record into the queue. The writer's share (the
// words, the file) happens on its own thread; the queue is emptied outside the timing.
void BM_TraceLine(benchmark::State& st) {
    const log::TraceState state{};
    std::uint64_t frame = 0;
    for (auto _ : st) {
        log::Trace(++frame, log::Cause::Reset, state);
        if (frame % 512 == 0) {
            st.PauseTiming();
            log::Flush();
            st.ResumeTiming();
        }
    }
}
BENCHMARK(BM_TraceLine);

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

// A sink holding the state for 100 ms, as the load-game sink does while it reads the settings
// files: the longest hook call meanwhile shows that no call waits for it.
void BM_HookWhileASinkHoldsTheLockFor100ms(benchmark::State& st) {
    SetUpGame();
    using Clock = std::chrono::steady_clock;
    double longest = 0;
    double calls = 0;
    for (auto _ : st) {
        std::atomic<bool> held{false};
        std::atomic<bool> released{false};
        std::thread sink([&] {
            std::lock_guard lock(StateMutex);
            held.store(true);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            released.store(true);
        });
        while (!held.load()) {
            std::this_thread::yield();
        }
        while (!released.load()) {
            const auto start = Clock::now();
            benchmark::DoNotOptimize(VehicleUpdateHook(&vehicle));
            const std::chrono::duration<double, std::nano> took = Clock::now() - start;
            longest = std::max(longest, took.count());
            ++calls;
        }
        sink.join();
    }
    st.counters["longest_call_ns"] = longest;
    st.counters["calls_meanwhile"] = benchmark::Counter(calls, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_HookWhileASinkHoldsTheLockFor100ms)->Iterations(3)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
