// The testbed: the host loads the plugin into the game stand-in and plays a scenario, every frame
// going through the game's own call site, redirected by the plugin, and printed as decided.
//
//   taviro-testbed [scenario] [--plugin FILE] [--work-dir DIR] [--keep-log FILE] [--frames FILE]
//
// The scenario is a file, or the name of one in testbed/scenarios ("exit-and-settle"); without
// one the default drive plays. The game's folder is a fresh folder under DIR (the system's
// temporary folder unless given), removed afterwards. Exits 0 when every expectation held, 1
// when one failed or the plugin broke a game contract, 2 when the scenario or the plugin could
// not be used. The game is a process of its own, this program again with --as-game, which ends
// as a game ends: the plugin's exit work writes the log's closing line there. --keep-log then
// copies the plugin's log out of the game's folder before it goes; --frames writes every frame's
// outcome as CSV.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "GameProcess.h"
#include "PluginHost.h"
#include "Scenario.h"
#include "ThisProcess.h"

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

// The game's own process: the scenario played in the folder the testbed prepared, which is the
// current one. Its end is the game's end, and the plugin's exit work runs as it would there.
int PlayTheGame(const std::string& scenarioFile, const std::string& plugin,
                const fs::path& frames) {
#ifndef _WIN32
    // The player's Documents, where the plugin keeps its log: inside the game folder, so a run
    // writes nowhere else. Under Wine it is the prefix's own, which the scripts keep private.
    winshim::SetDocumentsFolder((fs::current_path() / "Documents").string());
#endif
    int status = 2;
    try {
        testbed::RunOutputs outputs;
        outputs.frames = frames;
        status = testbed::RunScenario(testbed::LoadScenario(scenarioFile), plugin, outputs);
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "taviro-testbed: %s\n", e.what());
    }
    std::fflush(stdout);
    return status;
}

// The plugin's log as the game left it, copied out of the game's folder before it goes.
void KeepLog(const fs::path& keep) {
    const fs::path log = testbed::PluginLogPath();
    std::error_code error;
    if (!fs::is_regular_file(log, error)) {
        std::printf("log: none written\n");
        return;
    }
    // The game's folder goes now: name the copy that stays, or say that none does, rather than
    // a path that will be gone by the time anyone opens it.
    if (keep.empty()) {
        std::printf("log: not kept (--keep-log FILE keeps a copy)\n");
        return;
    }
    fs::copy_file(log, keep, fs::copy_options::overwrite_existing, error);
    if (error) {
        std::printf("testbed: cannot keep the log as %s: %s\n", keep.string().c_str(),
                    error.message().c_str());
        return;
    }
    std::printf("log: %s\n", keep.string().c_str());
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
    fs::path keepLog;
    fs::path frames;
    bool asGame = false;
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
                keepLog = fs::absolute(value);
            } else {
                frames = fs::absolute(value);
            }
        } else if (arg == "--as-game") {
            asGame = true;
        } else if (arg.starts_with("-")) {
            return Usage(("unknown option " + arg).c_str());
        } else if (!scenarioName.empty()) {
            return Usage("one scenario per run: the plugin loads once per process");
        } else {
            scenarioName = arg;
        }
    }
    if (asGame) {
        return PlayTheGame(scenarioName, plugin, frames);
    }

    testbed::Scenario scenario;
    fs::path scenarioFile;
    try {
        scenarioFile = fs::absolute(FindScenario(scenarioName.empty() ? "default" : scenarioName));
        scenario = testbed::LoadScenario(scenarioFile);
    } catch (const testbed::ScenarioError& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 2;
    }
    // Named from here, before the game's folder becomes the current one.
    if (fs::path(plugin).has_parent_path()) {
        plugin = fs::absolute(plugin).string();
    }

    // A scratch game folder: the plugin keeps its settings in Data\SFSE\Plugins below it.
    std::error_code error;
    const fs::path base = workDir.empty() ? fs::temp_directory_path() : fs::absolute(workDir);
    const fs::path folder = base / ("taviro-" + scenarioFile.stem().string() + "-" +
                                    std::to_string(testbed::ThisProcessId()));
    fs::remove_all(folder, error);
    fs::create_directories(folder / "Data" / "SFSE" / "Plugins", error);
#ifndef _WIN32
    fs::create_directories(folder / "Documents", error);
    winshim::SetDocumentsFolder((folder / "Documents").string());
#endif
    if (error) {
        std::fprintf(stderr, "taviro-testbed: cannot create %s: %s\n", folder.string().c_str(),
                     error.message().c_str());
        return 2;
    }
    fs::current_path(folder);

    std::printf("scenario: %s\n", scenarioFile.filename().string().c_str());
    std::vector<std::string> arguments{"--as-game", scenarioFile.string(), "--plugin", plugin};
    if (!frames.empty()) {
        arguments.insert(arguments.end(), {"--frames", frames.string()});
    }
    const testbed::GameEnd end = testbed::PlayInAProcessOfItsOwn(arguments);
    int status = end.code;
    if (!end.problem.empty()) {
        std::printf("FAILED the game's process: %s\n", end.problem.c_str());
        status = end.code == 2 ? 2 : 1;
    }
    KeepLog(keepLog);

    fs::current_path(base, error);
    fs::remove_all(folder, error);
    std::fflush(stdout);
    return status;
}
