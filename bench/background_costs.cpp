// What the plugin's own threads cost and how quickly a save is in force, natively and under Wine
// (the same program both ways): the pad reader's CPU at its rate, as a share of one core, and its
// reads a second; the settings watcher's CPU; and, over many saves of TaviroCustom.ini, the time
// from the save to the new hotkey in force. Prints JSON.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Gamepads.h"
#include "ThisProcess.h"
#include "hook/ControlState.h"
#include "input/GamepadReader.h"
#include "log/Log.h"
#include "settings/SettingsWatcher.h"

#ifdef _WIN32
#include <process.h>
#else
#include <time.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using namespace taviro;
using Clock = std::chrono::steady_clock;

constexpr auto kMeasure = std::chrono::seconds(3);
constexpr int kSaves = 25;

// CPU time of the whole process so far, in seconds: the main thread sleeps while it is measured,
// so what grows is the plugin's threads'.
double ProcessCpuSeconds() {
#ifdef _WIN32
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    const auto ticks = [](const FILETIME& t) {
        return static_cast<double>((std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime);
    };
    return (ticks(kernel) + ticks(user)) / 1e7;
#else
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
#endif
}

// The CPU the process uses per second of real time, over kMeasure.
double CpuShare() {
    const double before = ProcessCpuSeconds();
    const auto start = Clock::now();
    std::this_thread::sleep_for(kMeasure);
    const std::chrono::duration<double> took = Clock::now() - start;
    return (ProcessCpuSeconds() - before) / took.count();
}

void SaveHotkey(int code) {
    std::ofstream(fs::path("Data") / "SFSE" / "Plugins" / "TaviroCustom.ini", std::ios::binary)
        << "[Settings]\r\niHandbrakeHotkey=0x" << std::hex << code << "\r\n";
}

}  // namespace

int main() {
    // A game folder of its own, with the log in it.
    const fs::path folder = fs::temp_directory_path() /
                            ("taviro-background-" + std::to_string(testbed::ThisProcessId()));
    fs::create_directories(folder / "Data" / "SFSE" / "Plugins");
    fs::current_path(folder);
    log::Open({folder});
    testbed::Gamepads& pads = testbed::Gamepads::Get();
    if (!pads.Load()) {
        std::fprintf(stderr, "background_costs: %s\n", pads.Error().c_str());
        return 1;
    }
    pads.Connect(0, true);

    const double idle = CpuShare();

    // The pad reader with one pad connected, A bound.
    gamepad::Watch(gamepad::CodeBit(0xC3));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const DWORD64 readsBefore = pads.Reads(0);
    const double reader = CpuShare();
    const double readsPerSecond = static_cast<double>(pads.Reads(0) - readsBefore) /
                                  std::chrono::duration<double>(kMeasure).count();
    gamepad::ResetReader();

    // The settings watcher, looking at both files.
    SaveHotkey(0x47);
    ReloadSettings();
    StartWatchingSettings();
    const double watcher = CpuShare();

    // Saves at moments spread over the watcher's period, each timed until it is in force.
    std::mt19937 random(7);
    std::vector<double> inForceMs;
    for (int i = 0; i < kSaves; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 100));
        const int code = i % 2 == 0 ? 0x48 : 0x47;
        const auto saved = Clock::now();
        SaveHotkey(code);
        while (HotkeyBinding::FromWord(controlState.hotkey.load()).key != code) {
            if (Clock::now() - saved > std::chrono::seconds(5)) {
                std::fprintf(stderr, "background_costs: save %d was not in force after 5 s\n",
                             i + 1);
                return 1;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        inForceMs.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - saved).count());
    }
    StopWatchingSettings();
    std::sort(inForceMs.begin(), inForceMs.end());

    std::printf(
        "{\n  \"idle_cpu_share\": %.6f,\n  \"pad_reader_cpu_share\": %.6f,\n"
        "  \"pad_reads_per_second\": %.1f,\n  \"watcher_cpu_share\": %.6f,\n"
        "  \"saves\": %d,\n  \"save_in_force_ms\": {\"min\": %.1f, \"median\": %.1f, "
        "\"max\": %.1f}\n}\n",
        idle, reader - idle, readsPerSecond, watcher - idle, kSaves, inForceMs.front(),
        inForceMs[inForceMs.size() / 2], inForceMs.back());
    log::Close();
    fs::current_path(folder.parent_path());
    std::error_code error;
    fs::remove_all(folder, error);
    return 0;
}
