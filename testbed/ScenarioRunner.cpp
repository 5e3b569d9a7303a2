// Running a scenario: the plugin loaded as the host loads it, every step applied to the game
// stand-in in order, every frame through the game's own call site, and the table, the frames'
// file and the failures made of what the frames gave.
#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <fstream>
#include <map>
#include <thread>

#include "DataFiles.h"
#include "GameEvents.h"
#include "GameImage.h"
#include "GameLayout.h"
#include "GameRuntime.h"
#include "Gamepads.h"
#include "PluginHost.h"
#include "Scenario.h"
#include "ScenarioFiles.h"
#include "ScenarioLog.h"
#include "ScenarioTable.h"
#include "SettingsFileEditor.h"

namespace testbed {

namespace {

namespace fs = std::filesystem;

constexpr std::uint8_t kEngaged = 0x03;
constexpr std::uint8_t kReleased = 0x00;
constexpr std::uint32_t kDataLoadedMessage = 2;

template <class... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};
// Clang 14 does not deduce aggregate template arguments by itself.
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

// The plugin promises to get a line into its file within a second.
constexpr auto kLogLatency = std::chrono::seconds(1);

class Runner {
public:
    Runner(const Scenario& scenario, const RunOutputs& outputs)
        : scenario_(scenario), outputs_(outputs), table_(scenario.otherPlugin.has_value()) {}

    int Run(const std::string& pluginPath) {
        DataFiles::Get().InstallDefaultLoadOrder();
        // The game loads XInput at its start, before any plugin. The player has a controller
        // plugged in, holding nothing.
        if (Gamepads::Get().Load()) {
            Gamepads::Get().Connect(0, true);
        } else {
            std::printf("testbed: %s; controllers cannot be played\n",
                        Gamepads::Get().Error().c_str());
        }
        PluginHost& host = PluginHost::Get();
        if (!host.Load(pluginPath)) {
            std::fprintf(stderr, "testbed: %s\n", host.Error().c_str());
            return 2;
        }
        std::printf("host: loaded \"%s\" from %s\n", host.PluginName().c_str(), pluginPath.c_str());
        if (scenario_.callSiteForeign) {
            // As another game version or another plugin would leave it: no call at all.
            GameImage::Get().Write(layout::kVehicleUpdateCallSite, {0x90, 0x90, 0x90, 0x90, 0x90});
        }
        if (!LoadOtherPlugin(host)) {
            return 2;
        }
        const auto& other = scenario_.otherPlugin;
        if (other && other->loadsFirst && !CallOtherLoadEntry(host)) {
            return 2;
        }
        const bool loaded = host.CallLoadEntry();
        if (other && !other->loadsFirst && !CallOtherLoadEntry(host)) {
            return 2;
        }
        if (scenario_.callSiteForeign) {
            if (loaded) {
                failures_.push_back(
                    {0, 0, 0, "the plugin loaded over foreign code at its call site"});
            } else {
                std::printf("host: the plugin refused to load, as it must over foreign code\n");
            }
        } else if (!loaded) {
            std::fprintf(stderr, "testbed: the plugin's load entry returned false\n");
            return 2;
        }
        // A player in the driver's seat, moving, with no window open.
        vehicle_.SetFloat(1.0f);
        game_.SetFloat1(0.0f);
        game_.SetFloat2(1.0f);
        if (!scenario_.dataLoadedWritten && !scenario_.callSiteForeign) {
            std::printf("host: %s\n", DataLoaded().c_str());
        }
        const auto& lines = scenario_.lines;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const Scenario::Line& line = lines[i];
            // A log line looks for what the steps before it made the plugin write: lines in a
            // row look from where the last step that was no log line began, once every line
            // the plugin wrote before that step is in the file.
            if (!std::holds_alternative<step::Log>(line.step)) {
                if (LogHasFollows(i)) {
                    pluginlog::Settle();
                }
                logMark_ = pluginlog::End();
                markLine_ = line.number;
            }
            std::visit(Overloaded{
                           [&](const step::Frames& s) { Frames(s, line.number); },
                           [&](const step::Note& s) { table_.Note(s.text); },
                           [&](const step::Log& s) { table_.Step(line.text, CheckLog(s, line)); },
                           [&](const step::Pad& s) { ApplyPad(s, line); },
                           [&](const step::File& s) {
                               const std::string what = ApplyFileStep(s);
                               table_.Step(line.text, what);
                               if (!what.empty()) {
                                   failures_.push_back({line.number, frame_, frame_, what});
                               }
                           },
                           [&](const step::DataLoaded&) {
                               table_.Step(line.text);
                               table_.Note("host: " + DataLoaded());
                           },
                           [&](const auto& s) {
                               table_.Step(line.text);
                               Apply(s);
                           },
                       },
                       line.step);
        }
        return Summary();
    }

private:
    using Outcome = RunTable::FrameRow;

    struct Failure {
        int line;
        int firstFrame;
        int lastFrame;
        std::string what;
    };

    static std::string Hex(std::uint64_t value) {
        char text[24];
        std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
        return text;
    }

    // The other plugin beside ours, as the host loads it; nothing to do without one.
    bool LoadOtherPlugin(PluginHost& host) {
        if (!scenario_.otherPlugin) {
            return true;
        }
        const std::string path = scenario_.otherPlugin->chaining
                                     ? PluginHost::ChainingPluginPath()
                                     : PluginHost::OverwritingPluginPath();
        if (!host.LoadOther(path)) {
            std::fprintf(stderr, "testbed: %s\n", host.Error().c_str());
            return false;
        }
        std::printf("host: loaded the other plugin from %s, to load %s Taviro\n", path.c_str(),
                    scenario_.otherPlugin->loadsFirst ? "before" : "after");
        return true;
    }

    static bool CallOtherLoadEntry(PluginHost& host) {
        if (!host.CallOtherLoadEntry()) {
            std::fprintf(stderr, "testbed: the other plugin's load entry returned false\n");
            return false;
        }
        return true;
    }

    // Whether a log has line checks what the step at `index` makes the plugin write.
    bool LogHasFollows(std::size_t index) const {
        const auto& lines = scenario_.lines;
        for (std::size_t i = index + 1; i < lines.size(); ++i) {
            const auto* log = std::get_if<step::Log>(&lines[i].step);
            if (log == nullptr) {
                return false;
            }
            if (log->newOnly) {
                return true;
            }
        }
        return false;
    }

    // What a frame gave, classified once: the word a scenario writes for it (result=game|0,
    // handbrake=engaged|released, in hex when it is neither) and what the table shows.
    struct Classified {
        std::string word;
        std::string shown;
    };

    static Classified ClassifyResult(std::uint64_t result) {
        if (result == Game::kVehicleUpdateResult) {
            return {"game", "game's result"};
        }
        if (result == 0) {
            return {"0", "0 (skipped)"};
        }
        return {Hex(result), "unexpected"};
    }

    static Classified ClassifyByte(std::uint8_t byte) {
        if (byte == kEngaged) {
            return {"engaged", "engaged"};
        }
        if (byte == kReleased) {
            return {"released", "released"};
        }
        return {Hex(byte), "other"};
    }

    // A word in hex never reads as one a scenario writes, so comparing words is comparing values.
    static std::string Check(const Expectation& e, const Classified& result, const Classified& byte,
                             bool ran, std::optional<bool> otherRan) {
        std::string failure;
        auto expect = [&](const std::optional<bool>& wanted, const char* key, const char* yes,
                          const char* no, const std::string& got) {
            const char* word = wanted && *wanted ? yes : no;
            if (wanted && got != word) {
                failure += (failure.empty() ? "" : "; ") +
                           ("expected " + std::string(key) + "=" + word + ", got " + got);
            }
        };
        expect(e.gamesResult, "result", "game", "0", result.word);
        expect(e.engaged, "handbrake", "engaged", "released", byte.word);
        expect(e.gameRan, "ran", "yes", "no", ran ? "yes" : "no");
        expect(e.otherRan, "other", "yes", "no",
               !otherRan   ? "no other plugin"
               : *otherRan ? "yes"
                           : "no");
        return failure;
    }

    Outcome RunFrame(const Expectation& expect, int line) {
        const auto before = game_.Count().vehicleUpdates;
        const auto otherBefore = host_.OtherHookCalls();
        const Classified result = ClassifyResult(game_.Frame(&vehicle_));
        const std::uint8_t handbrake = game_.HandbrakeByte();
        const Classified byte = ClassifyByte(handbrake);
        const bool ran = game_.Count().vehicleUpdates != before;
        std::optional<bool> otherRan;
        if (scenario_.otherPlugin) {
            otherRan = host_.OtherHookCalls() != otherBefore;
        }
        ++frame_;
        if (framesOut_) {
            framesOut_ << frame_ << ',' << result.word << ',' << byte.word << ','
                       << (ran ? "yes" : "no") << ',' << expect.why << '\n';
        }
        if (!expect.why.empty()) {
            whys_.push_back({frame_, line, expect.why});
        }
        std::string failure = Check(expect, result, byte, ran, otherRan);
        if (ran && game_.ByteSeenByLastUpdate() != handbrake) {
            // Whatever the author expects, the game must run on the byte the frame shows.
            failure += (failure.empty() ? "" : "; ") + std::string("the game ran on byte ") +
                       Hex(game_.ByteSeenByLastUpdate());
        }
        if (expect.Any()) {
            ++framesChecked_;
        }
        if (!failure.empty()) {
            Fail(line, frame_, failure);
        }
        return {result.shown, byte.shown, ran, otherRan, failure};
    }

    // One failure per run of frames that failed alike.
    void Fail(int line, int frame, const std::string& what) {
        if (!failures_.empty() && failures_.back().line == line &&
            failures_.back().lastFrame == frame - 1 && failures_.back().what == what) {
            failures_.back().lastFrame = frame;
        } else {
            failures_.push_back({line, frame, frame, what});
        }
    }

    // Prints the run, folding identical outcomes into one line.
    void Frames(const step::Frames& s, int line) {
        int runStart = frame_ + 1;
        Outcome run = RunFrame(s.expect, line);
        table_.Frame(runStart, s.label, run);
        int runLength = 1;
        auto flush = [&] {
            const int runEnd = runStart + runLength - 1;
            if (runLength > 3) {
                table_.Folded(runLength - 2);
                table_.Frame(runEnd, "", run);
                return;
            }
            for (int f = runStart + 1; f <= runEnd; ++f) {
                table_.Frame(f, "", run);
            }
        };
        for (int i = 1; i < s.count; ++i) {
            Outcome o = RunFrame(s.expect, line);
            if (o == run) {
                ++runLength;
                continue;
            }
            flush();
            run = o;
            runStart = frame_;
            runLength = 1;
            table_.Frame(frame_, "", o);
        }
        flush();
    }

    // The host's data-loaded message, and what the host saw come of it.
    std::string DataLoaded() {
        PluginHost::Get().DeliverMessage(kDataLoadedMessage);
        char text[160];
        std::snprintf(text, sizeof text,
                      "game data loaded; %zu event sinks registered; default settings file %s",
                      events_.Registrations().size(),
                      fs::exists("Data/SFSE/Plugins/Taviro.ini") ? "created" : "missing");
        return text;
    }

    void Apply(const step::UpdateFloat& s) { vehicle_.SetFloat(s.value); }
    void Apply(const step::TrackedFloat& s) {
        s.which == 1 ? game_.SetFloat1(s.value) : game_.SetFloat2(s.value);
    }
    void Apply(const step::Truth& s) { game_.SetTruth(s.value); }
    void Apply(const step::Tracked& s) { game_.SetTrackedPresent(s.present); }
    void Apply(const step::TrackedField& s) { game_.SetTrackedField(s.value); }
    void Apply(const step::Menu& s) {
        if (s.setState) {
            game_.SetMenuOpen(s.name, s.open);
        }
        events_.DispatchMenu(s.name.c_str(), s.open);
    }
    void Apply(const step::LoadGame&) { events_.DispatchLoadGame(); }
    void Apply(const step::ExitVehicle&) { events_.DispatchExitVehicle(); }
    void Apply(const step::Activate& s) {
        // What the plugin filters for: the player (form 0x14) activating a reference whose base
        // object has type code 0x2F and which the game matches with the filter form.
        constexpr std::uint32_t kPlayer = 0x14;
        constexpr std::uint8_t kFilteredType = 0x2F;
        const bool byPlayer = s.who != step::Activator::Npc;
        const bool onVehicle = s.who != step::Activator::PlayerOnOtherObject;
        BaseObject baseObject = events_.MakeBaseObject(onVehicle ? kFilteredType : 0x24);
        Reference activated;
        Reference acting;
        activated.SetBaseObject(&baseObject);
        acting.SetValue(byPlayer ? kPlayer : 0x0001A2F3);
        events_.DispatchActivate({&activated, &acting});
    }
    void Apply(const step::Key& s) { Game::SetKeyDown(s.code, s.down); }
    void Apply(const step::Ini& s) { EditSettingsFile(s); }
    void Apply(const step::Wait& s) {
        std::this_thread::sleep_for(std::chrono::milliseconds(s.milliseconds));
    }

    // The pad changes, then the run waits until the plugin has read it, so that the frames that
    // follow see what the player holds.
    void ApplyPad(const step::Pad& s, const Scenario::Line& line) {
        Gamepads& pads = Gamepads::Get();
        if (!pads.Error().empty()) {
            failures_.push_back({line.number, frame_, frame_, pads.Error()});
            table_.Step(line.text, pads.Error());
            return;
        }
        table_.Step(line.text);
        if (s.plugged) {
            pads.Connect(s.slot, *s.plugged);
        } else {
            pads.SetButton(s.slot, s.code, s.down);
        }
        if (!pads.AwaitRead(s.slot)) {
            table_.Note(
                "the plugin reads no controller (it reads them while a controller code is bound)");
        }
    }

    // What failed, for the table's row; empty when the log held.
    std::string CheckLog(const step::Log& s, const Scenario::Line& line) {
        // With a margin for a loaded machine when waiting for a line.
        const auto wait = s.present ? 2 * kLogLatency : kLogLatency + kLogLatency / 4;
        const std::uintmax_t from = s.newOnly ? logMark_ : 0;
        const bool found = pluginlog::Holds(
            s.text, from, s.present, std::chrono::duration_cast<std::chrono::milliseconds>(wait));
        if (found == s.present) {
            return {};
        }
        std::string what;
        if (!s.present) {
            what = "the log has \"" + s.text + "\"";
        } else if (!s.newOnly) {
            what = "the log lacks \"" + s.text + "\"";
        } else {
            what = "no line holding \"" + s.text + "\" came into the log" +
                   (markLine_ == 0 ? "" : " since line " + std::to_string(markLine_) + " began") +
                   (pluginlog::Holds(s.text, 0, true, {})
                        ? " (an earlier line holds it: log had looks at the whole log)"
                        : "");
        }
        failures_.push_back({line.number, frame_, frame_, what});
        return what;
    }

    // The log has a trace line wherever the decision's state or its reason changed: a frame's
    // reason is that of the last line at or before it.
    void CheckWhys() {
        if (whys_.empty()) {
            return;
        }
        const std::map<int, std::string> traced = pluginlog::TracedWhys();
        for (const ExpectedWhy& expected : whys_) {
            auto line = traced.upper_bound(expected.frame);
            if (line == traced.begin()) {
                Fail(expected.line, expected.frame,
                     "expected why=" + expected.why +
                         ", the log gives no reason up to here (is the trace on? ini "
                         "TaviroCustom.ini set bLogging 1, then data-loaded)");
            } else if ((--line)->second != expected.why) {
                Fail(expected.line, expected.frame,
                     "expected why=" + expected.why + ", the log says why=" + line->second +
                         " (its line of frame " + std::to_string(line->first) + ")");
            }
        }
    }

    int Summary() {
        CheckWhys();
        const auto count = game_.Count();
        std::printf("\ngame strings built %llu, released %llu; calls with bad arguments %llu\n",
                    static_cast<unsigned long long>(count.stringsBuilt),
                    static_cast<unsigned long long>(count.stringsReleased),
                    static_cast<unsigned long long>(count.contractViolations));
        // In the file's order, whichever check found them; what breaks a game contract last.
        std::stable_sort(failures_.begin(), failures_.end(),
                         [](const Failure& a, const Failure& b) {
                             const int lineA = a.line == 0 ? INT_MAX : a.line;
                             const int lineB = b.line == 0 ? INT_MAX : b.line;
                             return lineA != lineB ? lineA < lineB : a.firstFrame < b.firstFrame;
                         });
        std::vector<std::string> broken;
        for (const Failure& f : failures_) {
            if (f.line == 0) {
                broken.push_back(f.what);
                continue;
            }
            const std::string frames =
                f.firstFrame == f.lastFrame
                    ? "frame " + std::to_string(f.firstFrame)
                    : "frames " + std::to_string(f.firstFrame) + "-" + std::to_string(f.lastFrame);
            broken.push_back(scenario_.source + ":" + std::to_string(f.line) + ": " + frames +
                             ": " + f.what);
        }
        if (count.stringsBuilt != count.stringsReleased) {
            broken.push_back("the plugin left " +
                             std::to_string(count.stringsBuilt - count.stringsReleased) +
                             " game strings unreleased");
        }
        if (count.contractViolations != 0) {
            broken.push_back("the plugin called game functions with bad arguments " +
                             std::to_string(count.contractViolations) + " times");
        }
        if (events_.InvalidRegistrations() != 0) {
            broken.push_back("the plugin registered sinks with sources the game does not have");
        }
        if (broken.empty()) {
            std::printf("passed: %d frames, %d of them checked\n", frame_, framesChecked_);
            return 0;
        }
        for (const std::string& b : broken) {
            std::printf("FAILED %s\n", b.c_str());
        }
        return 1;
    }

    const Scenario& scenario_;
    const RunOutputs& outputs_;
    std::ofstream framesOut_{outputs_.frames, std::ios::binary};  // not open without a path
    Game& game_ = Game::Get();
    PluginHost& host_ = PluginHost::Get();
    GameEvents& events_ = GameEvents::Get();
    UpdateObject vehicle_;
    RunTable table_;
    int frame_ = 0;
    int framesChecked_ = 0;
    std::uintmax_t logMark_ = 0;  // where the log ended as the last step that was no log line began
    int markLine_ = 0;
    std::vector<Failure> failures_;
    struct ExpectedWhy {
        int frame;
        int line;
        std::string why;
    };
    std::vector<ExpectedWhy> whys_;
};

}  // namespace

int RunScenario(const Scenario& scenario, const std::string& pluginPath,
                const RunOutputs& outputs) {
    return Runner(scenario, outputs).Run(pluginPath);
}

}  // namespace testbed
