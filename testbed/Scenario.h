// A situation written down as a scenario file (testbed/scenarios/README.md has the format) and
// its run against the loaded plugin: every step in order, every frame through the game's own call
// site, a table of what the plugin decided and every expectation the author wrote checked.
#pragma once

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace testbed {

// A scenario file that cannot be run; what() has a line "file:line: what is wrong" for each of
// its mistakes.
class ScenarioError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Expectation {
    std::optional<bool> gamesResult;  // the hook returned the game's result, not 0
    std::optional<bool> engaged;      // the handbrake byte after the frame
    std::optional<bool> gameRan;
    std::optional<bool> otherRan;  // the other plugin's hook ran
    // The reason the plugin's log gives for the frame (its why= word); empty for any.
    std::string why;
    bool Any() const { return gamesResult || engaged || gameRan || otherRan || !why.empty(); }
};

namespace step {
struct Frames {
    int count;
    std::string label;
    Expectation expect;
};
struct Note {
    std::string text;
};
struct DataLoaded {};
struct UpdateFloat {
    float value;
};
struct TrackedFloat {
    int which;  // 1 or 2
    float value;
};
struct Truth {
    bool value;
};
struct Tracked {
    bool present;
};
struct TrackedField {
    std::uintptr_t value;
};
// The game's menu event; with `setState` the UI's state changes first, as when the game itself
// opens or closes the menu.
struct Menu {
    std::string name;
    bool open;
    bool setState;
};
struct LoadGame {};
struct ExitVehicle {};
enum class Activator { PlayerOnVehicle, Npc, PlayerOnOtherObject };
struct Activate {
    Activator who;
};
struct Key {
    int code;
    bool down;
};
// Sets or removes a key under [Settings], or deletes the file when `key` is empty.
struct Ini {
    std::string file;
    std::string key;
    std::optional<std::string> value;
};
// Whether the plugin's log has a line holding `text` (within the time the plugin promises to
// write a line in), or still has none once that time has passed. A line that is to be there is
// looked for among those written since the step before began (`log has`: what that step made the
// plugin write), or in the whole log (`log had`); one that is not to be there, in the whole log.
struct Log {
    std::string text;
    bool present;
    bool newOnly;
};
// A controller plugged in or pulled out, or one of its buttons held or let go; the run then waits
// until the plugin has read it.
struct Pad {
    int slot;                     // 0 to 3; scenarios write 1 to 4
    std::optional<bool> plugged;  // set: plugged in or pulled out; else the button below
    int code;                     // Windows' gamepad code, 0xC3 to 0xDA
    bool down;
};
// Real time passing with no frame, while the plugin's own threads go on (the settings watcher,
// the controller reader).
struct Wait {
    int milliseconds;
};
// What players' editors and tools do to a file of the plugin folder (ScenarioFiles.h).
struct File {
    enum class Action { Write, WriteByRename, Hold, LetGo };
    Action action;
    std::string name;
    std::string text;  // Write, WriteByRename: the file's bytes
};
}  // namespace step

using Step = std::variant<step::Frames, step::Note, step::DataLoaded, step::UpdateFloat,
                          step::TrackedFloat, step::Truth, step::Tracked, step::TrackedField,
                          step::Menu, step::LoadGame, step::ExitVehicle, step::Activate, step::Key,
                          step::Ini, step::Log, step::Pad, step::Wait, step::File>;

struct Scenario {
    struct Line {
        int number;
        Step step;
        std::string text;  // as the table shows the step
    };
    std::string source;  // as failures name it
    std::vector<Line> lines;
    bool dataLoadedWritten = false;
    // The game's call site holds code the plugin does not know: its load must be refused.
    bool callSiteForeign = false;
    // Another plugin that redirects the same call, loaded before or after the plugin.
    struct OtherPlugin {
        bool chaining;  // calls on to what the call led to before it, or the game's function
        bool loadsFirst;
    };
    std::optional<OtherPlugin> otherPlugin;
};

// Where the run leaves what it saw, besides the table.
struct RunOutputs {
    // every frame as CSV: frame,result,handbrake,ran,why (the reason the scenario expects)
    std::filesystem::path frames;
};

// Throws ScenarioError naming every line with a mistake (up to 20 of them) and what is wrong.
Scenario ParseScenario(std::istream& in, const std::string& source);
Scenario LoadScenario(const std::filesystem::path& file);

// Runs the scenario in the current directory, which stands for the game's folder, with the plugin
// at `pluginPath`; prints the table and every failed expectation or broken game contract. The
// reasons a scenario expects are read from the plugin's log once the last step has run.
// Returns 0 when everything held, 1 when something failed, 2 when the plugin did not load.
int RunScenario(const Scenario& scenario, const std::string& pluginPath,
                const RunOutputs& outputs = {});

// Where the plugin writes its log in this game folder: the Documents log when the shell knows
// Documents and the file is there, else the plugin folder's.
std::filesystem::path PluginLogPath();

}  // namespace testbed
