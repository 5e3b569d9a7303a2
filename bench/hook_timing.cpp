// The hook's cost per call under Wine, for the cases hook_bench measures natively and under the
// same names: each case runs in batches long enough for QueryPerformanceCounter, and the median
// batch gives the time per call, so one preempted batch moves nothing. Prints JSON.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "HookCases.h"

namespace {

using namespace taviro;

constexpr int kBatches = 15;
constexpr double kBatchSeconds = 0.02;

std::int64_t Now() {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}

double TicksPerSecond() {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart);
}

// Runs `count` calls and says how many ticks of them were the calls' own.
using Batch = std::function<std::int64_t(std::uint64_t count)>;

// A batch of plain calls, their results kept where the compiler cannot drop them.
Batch CallsOf(std::uint64_t (*call)()) {
    return [call](std::uint64_t count) {
        volatile std::uint64_t sink = 0;
        const std::int64_t start = Now();
        for (std::uint64_t i = 0; i < count; ++i) {
            sink = call();
        }
        const std::int64_t took = Now() - start;
        (void)sink;
        return took;
    };
}

// Trace lines go into a queue of 1024 records: the queue is emptied between timed runs of 512, as
// the log's writer would, so that every line timed is one taken.
Batch TraceLines() {
    return [](std::uint64_t count) {
        static std::uint64_t frame = 0;
        const trace::State state{};
        std::int64_t took = 0;
        for (std::uint64_t done = 0; done < count;) {
            const std::uint64_t run = std::min<std::uint64_t>(512, count - done);
            const std::int64_t start = Now();
            for (std::uint64_t i = 0; i < run; ++i) {
                trace::Record(++frame, trace::Cause::Reset, state);
            }
            took += Now() - start;
            log::Flush();
            done += run;
        }
        return took;
    };
}

struct Result {
    double nsPerCall;
    std::uint64_t callsPerBatch;
};

Result Measure(const Batch& batch) {
    const double ticksPerSecond = TicksPerSecond();
    std::uint64_t count = 64;
    while (static_cast<double>(batch(count)) < kBatchSeconds * ticksPerSecond &&
           count < (1u << 30)) {
        count *= 2;
    }
    std::vector<double> perCall;
    for (int i = 0; i < kBatches; ++i) {
        perCall.push_back(static_cast<double>(batch(count)) * 1e9 / ticksPerSecond /
                          static_cast<double>(count));
    }
    std::nth_element(perCall.begin(), perCall.begin() + kBatches / 2, perCall.end());
    return {perCall[kBatches / 2], count};
}

struct Case {
    const char* name;
    std::function<void()> setUp;
    Batch batch;
};

}  // namespace

int main() {
    if (!bench::OpenLog()) {
        std::fprintf(stderr, "hook_timing: no log could be opened\n");
        return 1;
    }
    std::optional<bench::StateHeldElsewhere> held;
    const std::vector<Case> cases = {
        {"BM_GameFunctionDirect", [] { bench::SetUpGame(); }, CallsOf(bench::GameFunctionDirect)},
        {"BM_GameCallsOfTheResetPath", [] { bench::SetUpGame(); },
         CallsOf(bench::GameCallsOfTheResetPath)},
        {"BM_HookResetPath/trace:0", [] { bench::SetUpResetPath(false); },
         CallsOf(bench::HookCall)},
        {"BM_HookResetPath/trace:1", [] { bench::SetUpResetPath(true); }, CallsOf(bench::HookCall)},
        {"BM_HookEngagedPath/trace:0", [] { bench::SetUpEngagedPath(false); },
         CallsOf(bench::EngagedCall)},
        {"BM_HookEngagedPath/trace:1", [] { bench::SetUpEngagedPath(true); },
         CallsOf(bench::EngagedCall)},
        {"BM_HookResetPathKeyHotkey", [] { bench::SetUpResetPathWithHotkey(bench::kKeyHotkey); },
         CallsOf(bench::HookCall)},
        {"BM_HookResetPathPadHotkey", [] { bench::SetUpResetPathWithHotkey(bench::kPadHotkey); },
         CallsOf(bench::HookCall)},
        {"BM_HookResetPathKeyToggle",
         [] { bench::SetUpResetPathWithHotkey(bench::kKeyHotkey, true); },
         CallsOf(bench::HookCall)},
        {"BM_HookResetPathPadToggle",
         [] { bench::SetUpResetPathWithHotkey(bench::kPadHotkey, true); },
         CallsOf(bench::HookCall)},
        {"BM_HookToggledOn", [] { bench::SetUpToggledOn(); }, CallsOf(bench::HookCall)},
        {"BM_TraceLine", [] { bench::StopReadingPads(); }, TraceLines()},
        {"BM_HookBusyPath",
         [&held] {
             bench::SetUpGame();
             held.emplace();
         },
         CallsOf(bench::HookCall)},
    };

    std::printf(
        "{\n  \"context\": {\"timer\": \"QueryPerformanceCounter\", \"ticks_per_second\": "
        "%.0f, \"batches\": %d},\n  \"benchmarks\": [\n",
        TicksPerSecond(), kBatches);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        cases[i].setUp();
        const Result r = Measure(cases[i].batch);
        std::printf(
            "    {\"name\": \"%s\", \"aggregate_name\": \"median\", \"real_time\": %.2f, "
            "\"time_unit\": \"ns\", \"calls_per_batch\": %llu}%s\n",
            cases[i].name, r.nsPerCall, static_cast<unsigned long long>(r.callsPerBatch),
            i + 1 < cases.size() ? "," : "");
    }
    std::printf("  ]\n}\n");
    held.reset();
    log::Close();
    return 0;
}
