// The testbed's default drive: the host loads the plugin into the game stand-in, the game's data
// loads, and a player drives, gets out, settles the vehicle and uses the hotkey. Every frame
// goes through the game's own call site, redirected by the plugin, and is printed as decided.
//
//   taviro-testbed [path to Taviro.dll or Taviro.so]
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "DataFiles.h"
#include "GameEvents.h"
#include "GameImage.h"
#include "GameRuntime.h"
#include "PluginHost.h"

namespace {

namespace fs = std::filesystem;

int frameNumber = 0;

struct Outcome {
    std::string result;
    std::string handbrake;
    bool gameRan;
    bool operator==(const Outcome&) const = default;
};

Outcome RunFrame(testbed::Game& game, testbed::UpdateObject& vehicle) {
    const auto before = game.Count().vehicleUpdates;
    const std::uint64_t result = game.Frame(&vehicle);
    const std::uint8_t b = game.HandbrakeByte();
    ++frameNumber;
    return {result == testbed::Game::kVehicleUpdateResult ? "game's result"
            : result == 0                                 ? "0 (skipped)"
                                                          : "unexpected",
            b == 0x03   ? "engaged"
            : b == 0x00 ? "released"
                        : "other",
            game.Count().vehicleUpdates != before};
}

void Print(int frame, const std::string& note, const Outcome& o) {
    std::printf("%5d  %-34s %-18s %-9s %s\n", frame, note.c_str(), o.result.c_str(),
                o.handbrake.c_str(), o.gameRan ? "yes" : "no");
}

// Runs `count` frames and prints them, folding a run of identical outcomes into one line.
void Frames(testbed::Game& game, testbed::UpdateObject& vehicle, int count, const char* note) {
    int runStart = frameNumber + 1;
    Outcome run = RunFrame(game, vehicle);
    Print(runStart, note, run);
    int runLength = 1;
    auto flush = [&] {
        const int runEnd = runStart + runLength - 1;
        if (runLength > 3) {
            const std::string folded = "(" + std::to_string(runLength - 2) + " more alike)";
            std::printf("%5s  %s\n", "...", folded.c_str());
            Print(runEnd, "", run);
            return;
        }
        for (int f = runStart + 1; f <= runEnd; ++f) {
            Print(f, "", run);
        }
    };
    for (int i = 1; i < count; ++i) {
        Outcome o = RunFrame(game, vehicle);
        if (o == run) {
            ++runLength;
            continue;
        }
        flush();
        run = o;
        runStart = frameNumber;
        runLength = 1;
        Print(frameNumber, "", o);
    }
    flush();
}

void Say(const char* text) {
    std::printf("       -- %s\n", text);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string plugin = argc > 1 ? argv[1] : testbed::PluginHost::DefaultPluginPath();

    // A scratch game folder: the plugin keeps its settings in Data\SFSE\Plugins below it.
    const fs::path folder = fs::temp_directory_path() / "taviro-testbed-game";
    fs::remove_all(folder);
    fs::create_directories(folder / "Data" / "SFSE" / "Plugins");
    fs::current_path(folder);

    testbed::Game& game = testbed::Game::Get();
    testbed::GameEvents& events = testbed::GameEvents::Get();
    testbed::DataFiles::Get().InstallDefaultLoadOrder();

    testbed::PluginHost& host = testbed::PluginHost::Get();
    if (!host.Load(plugin)) {
        std::fprintf(stderr, "testbed: %s\n", host.Error().c_str());
        return 1;
    }
    std::printf("host: loaded \"%s\" from %s\n", host.PluginName().c_str(), plugin.c_str());
    if (!host.CallLoadEntry()) {
        std::fprintf(stderr, "testbed: the plugin's load entry returned false\n");
        return 1;
    }
    host.DeliverMessage(2);
    std::printf("host: game data loaded; %zu event sinks registered; default settings file %s\n",
                events.Registrations().size(),
                fs::exists("Data/SFSE/Plugins/Taviro.ini") ? "created" : "missing");

    testbed::UpdateObject vehicle;
    vehicle.SetFloat(1.0f);
    game.SetFloat1(0.0f);
    game.SetFloat2(1.0f);

    std::printf(
        "\nframe  what happens                       hook returned      handbrake game ran\n");
    Frames(game, vehicle, 30, "warm-up after the data loaded");
    Frames(game, vehicle, 3, "driving");

    Say("the player gets out of the vehicle");
    events.DispatchExitVehicle();
    Frames(game, vehicle, 6, "vehicle still rolling");

    Say("the vehicle comes to rest");
    game.SetFloat2(0.0f);
    Frames(game, vehicle, 2, "at rest");
    game.SetFloat2(1.0f);

    Say("the player sets iHandbrakeHotkey=0x47 (G) in TaviroCustom.ini and loads a save");
    std::ofstream("Data/SFSE/Plugins/TaviroCustom.ini") << "[Settings]\niHandbrakeHotkey=0x47\n";
    events.DispatchLoadGame();
    game.SetMenuOpen("LoadingMenu", true);
    Frames(game, vehicle, 2, "loading screen");
    game.SetMenuOpen("LoadingMenu", false);
    Frames(game, vehicle, 30, "warm-up after the load");
    Frames(game, vehicle, 2, "driving");
    testbed::Game::SetKeyDown(0x47, true);
    Frames(game, vehicle, 3, "G held");
    testbed::Game::SetKeyDown(0x47, false);
    Frames(game, vehicle, 2, "G released");

    const auto count = game.Count();
    std::printf("\ngame strings built %llu, released %llu; calls with bad arguments %llu\n",
                static_cast<unsigned long long>(count.stringsBuilt),
                static_cast<unsigned long long>(count.stringsReleased),
                static_cast<unsigned long long>(count.contractViolations));
    return count.stringsBuilt == count.stringsReleased && count.contractViolations == 0 ? 0 : 1;
}
