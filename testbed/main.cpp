// The testbed: the host loads the plugin into the game stand-in and plays a scenario, every frame
// going through the game's own call site, redirected by the plugin, and printed as decided.
//
//   taviro-testbed [scenario] [--plugin FILE] [--work-dir DIR] [--keep-log FILE] [--frames FILE]
//
// The scenario is a file, or the name of one in testbed/scenarios ("exit-and-settle"); without
// one the default drive plays. The game's folder is a fresh folder under DIR (the system's
// temporary folder unless given), removed afterwards. Exits 0 when every expectation held, 1
// when one failed or the plugin broke a game contract, 2 when the scenario or the plugin could
// not be used. --keep-log copies the plugin's log out of the game's folder before it goes;
// --frames writes every frame's outcome as CSV.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <set>
#include <string>
#include <system_error>

#include "PluginHost.h"
#include "Scenario.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#else
#include <unistd.h>

#include "winshim/control.h"
#endif

namespace {

namespace fs = std::filesystem;

long ProcessId() {
#ifdef _WIN32
    return _getpid();
#else
    return getpid();
#endif
}

fs::path scratchFolder;

void RemoveScratchFolder() {
    std::error_code error;
    fs::current_path(scratchFolder.parent_path(), error);
    fs::remove_all(scratchFolder, error);
}

int Usage(const char* problem) {
    std::fprintf(stderr,
                 "taviro-testbed: %s\n"
                 "usage: taviro-testbed [scenario] [--plugin FILE] [--work-dir DIR] "
                 "[--keep-log FILE] [--frames FILE]\n",
                 problem);
    return 2;
}

// A file as given, or a bare name looked up among the shipped scenarios.
fs::path FindScenario(const std::string& given) {
    const fs::path path(given);
    if (fs::is_regular_file(path) || path.has_parent_path()) {
        return path;
    }
    const fs::path shipped = fs::path(TAVIRO_SCENARIO_DIR);
    for (const fs::path& candidate : {shipped / path, shipped / (given + ".scn")}) {
        if (fs::is_regular_file(candidate)) {
            return candidate;
        }
    }
    std::set<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(shipped, error)) {
        if (entry.path().extension() == ".scn") {
            names.insert(entry.path().stem().string());
        }
    }
    std::string known;
    for (const std::string& name : names) {
        known += (known.empty() ? "" : ", ") + name;
    }
    throw testbed::ScenarioError("no scenario '" + given + "': not a file, nor one of " +
                                 shipped.string() + " (" + known + ")");
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    // The same bytes as the native build prints, so the two tables compare equal.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
#endif
    std::string scenarioName;
    std::string plugin = testbed::PluginHost::DefaultPluginPath();
    fs::path workDir;
    testbed::RunOutputs outputs;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--plugin" || arg == "--work-dir" || arg == "--keep-log" ||
             arg == "--frames") &&
            i + 1 < argc) {
            const std::string value = argv[++i];
            if (arg == "--plugin") {
                plugin = value;
            } else if (arg == "--work-dir") {
                workDir = value;
            } else if (arg == "--keep-log") {
                outputs.keepLog = fs::absolute(value);
            } else {
                outputs.frames = fs::absolute(value);
            }
        } else if (arg.starts_with("-")) {
            return Usage(("unknown option " + arg).c_str());
        } else if (!scenarioName.empty()) {
            return Usage("one scenario per run: the plugin loads once per process");
        } else {
            scenarioName = arg;
        }
    }

    testbed::Scenario scenario;
    try {
        scenario =
            testbed::LoadScenario(FindScenario(scenarioName.empty() ? "default" : scenarioName));
    } catch (const testbed::ScenarioError& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 2;
    }

    // A scratch game folder: the plugin keeps its settings in Data\SFSE\Plugins below it.
    std::error_code error;
    const fs::path base = workDir.empty() ? fs::temp_directory_path() : fs::absolute(workDir);
    const fs::path folder = base / ("taviro-" + fs::path(scenario.source).stem().string() + "-" +
                                    std::to_string(ProcessId()));
    fs::remove_all(folder, error);
    fs::create_directories(folder / "Data" / "SFSE" / "Plugins", error);
    if (error) {
        std::fprintf(stderr, "taviro-testbed: cannot create %s: %s\n", folder.string().c_str(),
                     error.message().c_str());
        return 2;
    }
#ifndef _WIN32
    // The player's Documents, where the plugin keeps its log: inside the game folder, so a run
    // writes nowhere else. Under Wine it is the prefix's own, which the scripts keep private.
    fs::create_directories(folder / "Documents", error);
    winshim::SetDocumentsFolder((folder / "Documents").string());
#endif
    // Removed as the process ends rather than here: the plugin stays loaded to the end, and its
    // log writer may still be at work in the folder until its own exit work has stopped it,
    // which runs first, having been set up later.
    scratchFolder = folder;
    std::atexit(RemoveScratchFolder);
    fs::current_path(folder);

    std::printf("scenario: %s\n", fs::path(scenario.source).filename().string().c_str());
    int status = 2;
    try {
        status = testbed::RunScenario(scenario, plugin, outputs);
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "taviro-testbed: %s\n", e.what());
    }
    std::fflush(stdout);
    return status;
}
