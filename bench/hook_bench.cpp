// Cost of one hook call in its steady states, next to a direct call of the game's function, so
// the hook's own overhead is the difference within one run; the same with the decision trace on,
// and the cost of one trace line on the hook's side.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>

#include "HookCases.h"
#include "support/AllocationCounter.h"
#include "winshim/control.h"

namespace {

using namespace taviro;

const bool logOpen = bench::OpenLog();

// Heap allocations and page-protection calls over a benchmark's loop, per call: the hook promises
// neither in its steady states, and these put the promise next to its cost. The count starts after
// one call of the case, which sets the handbrake byte that the steady state then keeps.
class PerCallCounts {
public:
    explicit PerCallCounts(std::uint64_t (*call)())
        : m_allocations((call(), testing::ThreadAllocations())),
          m_protects(winshim::ProtectCallCount()) {}
    void Report(benchmark::State& st) const {
        const auto perCall = [](std::uint64_t count) {
            return benchmark::Counter(static_cast<double>(count),
                                      benchmark::Counter::kAvgIterations);
        };
        st.counters["allocs_per_call"] = perCall(testing::ThreadAllocations() - m_allocations);
        st.counters["protects_per_call"] = perCall(winshim::ProtectCallCount() - m_protects);
    }

private:
    std::uint64_t m_allocations;
    std::uint64_t m_protects;
};

void BM_GameFunctionDirect(benchmark::State& st) {
    bench::SetUpGame();
    for (auto _ : st) {
        benchmark::DoNotOptimize(bench::GameFunctionDirect());
    }
}
BENCHMARK(BM_GameFunctionDirect);

// The game functions the reset path calls, called directly: what the hook costs beyond these is
// the plugin's own.
void BM_GameCallsOfTheResetPath(benchmark::State& st) {
    bench::SetUpGame();
    for (auto _ : st) {
        benchmark::DoNotOptimize(bench::GameCallsOfTheResetPath());
    }
}
BENCHMARK(BM_GameCallsOfTheResetPath);

// A steady state of the hook, the decision trace as the argument. The call is a template
// argument so that the loop calls it as directly as the game's call site does.
template <std::uint64_t (*Call)()>
void HookSteadyState(benchmark::State& st, void (*setUp)(bool trace)) {
    setUp(st.range(0) != 0);
    const PerCallCounts counts(Call);
    for (auto _ : st) {
        benchmark::DoNotOptimize(Call());
    }
    counts.Report(st);
}

void BM_HookResetPath(benchmark::State& st) {
    HookSteadyState<bench::HookCall>(st, bench::SetUpResetPath);
}
BENCHMARK(BM_HookResetPath)->ArgName("trace")->Arg(0)->Arg(1);

void BM_HookEngagedPath(benchmark::State& st) {
    HookSteadyState<bench::EngagedCall>(st, bench::SetUpEngagedPath);
}
BENCHMARK(BM_HookEngagedPath)->ArgName("trace")->Arg(0)->Arg(1);

// A hotkey bound and not held, on the reset path: a key (the system is asked on every call) and a
// controller's button (the pad reader's word is read, with the reader running); held to engage,
// or toggled by a press and off.
void HotkeySteadyState(benchmark::State& st, int code, bool toggle = false) {
    bench::SetUpResetPathWithHotkey(code, toggle);
    const PerCallCounts counts(bench::HookCall);
    for (auto _ : st) {
        benchmark::DoNotOptimize(bench::HookCall());
    }
    counts.Report(st);
    bench::StopReadingPads();
}

void BM_HookResetPathKeyHotkey(benchmark::State& st) {
    HotkeySteadyState(st, bench::kKeyHotkey);
}
BENCHMARK(BM_HookResetPathKeyHotkey);

void BM_HookResetPathPadHotkey(benchmark::State& st) {
    HotkeySteadyState(st, bench::kPadHotkey);
}
BENCHMARK(BM_HookResetPathPadHotkey);

void BM_HookResetPathKeyToggle(benchmark::State& st) {
    HotkeySteadyState(st, bench::kKeyHotkey, true);
}
BENCHMARK(BM_HookResetPathKeyToggle);

void BM_HookResetPathPadToggle(benchmark::State& st) {
    HotkeySteadyState(st, bench::kPadHotkey, true);
}
BENCHMARK(BM_HookResetPathPadToggle);

// A toggled hotkey holding the handbrake: the game's update runs on every call.
void BM_HookToggledOn(benchmark::State& st) {
    bench::SetUpToggledOn();
    const PerCallCounts counts(bench::HookCall);
    for (auto _ : st) {
        benchmark::DoNotOptimize(bench::HookCall());
    }
    counts.Report(st);
    st.counters["engaged"] = controlState.handbrakeEngaged.load() ? 1 : 0;
    bench::StopReadingPads();
}
BENCHMARK(BM_HookToggledOn);

// One trace line as the hook hands it over: a record into the queue. The writer's share (the
// words, the file) happens on its own thread; the queue is emptied outside the timing.
void BM_TraceLine(benchmark::State& st) {
    const trace::State state{};
    std::uint64_t frame = 0;
    for (auto _ : st) {
        trace::Record(++frame, trace::Cause::Reset, state);
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
    bench::SetUpGame();
    const bench::StateHeldElsewhere held;
    const PerCallCounts counts(bench::HookCall);
    for (auto _ : st) {
        benchmark::DoNotOptimize(bench::HookCall());
    }
    counts.Report(st);
}
BENCHMARK(BM_HookBusyPath);

// A sink holding the state for 100 ms, far longer than any does (the settings files are read
// without it): the longest hook call meanwhile shows that no call waits for it.
void BM_HookWhileASinkHoldsTheLockFor100ms(benchmark::State& st) {
    bench::SetUpGame();
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
            benchmark::DoNotOptimize(bench::HookCall());
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
