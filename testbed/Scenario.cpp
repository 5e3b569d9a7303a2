#include "Scenario.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <istream>
#include <sstream>
#include <string_view>
#include <system_error>
#include <thread>

#include "DataFiles.h"
#include "GameEvents.h"
#include "GameImage.h"
#include "GameLayout.h"
#include "GameRuntime.h"
#include "PluginHost.h"
#include "Win32.h"

namespace testbed {

namespace {

namespace fs = std::filesystem;

constexpr std::uint8_t kEngaged = 0x03;
constexpr std::uint8_t kReleased = 0x00;
constexpr std::uint32_t kDataLoadedMessage = 2;
// A run long enough to cover any window the plugin keeps, short enough that a typo of a few
// extra digits is caught rather than run for minutes.
constexpr int kMostFramesPerLine = 100000;

// --- Reading ----------------------------------------------------------------------------------

struct Token {
    std::string text;
    bool quoted;
};

class LineReader {
public:
    LineReader(const std::string& source, int number) : source_(source), number_(number) {}

    [[noreturn]] void Fail(const std::string& what) const {
        throw ScenarioError(source_ + ":" + std::to_string(number_) + ": " + what);
    }

    std::vector<Token> Tokens(std::string_view line) const {
        std::vector<Token> tokens;
        std::size_t i = 0;
        while (i < line.size()) {
            if (std::isspace(static_cast<unsigned char>(line[i]))) {
                ++i;
            } else if (line[i] == '#') {
                break;
            } else if (line[i] == '"') {
                // \" and \\ stand for a quote and a backslash, for log lines that quote a value.
                std::string text;
                std::size_t end = i + 1;
                for (; end < line.size() && line[end] != '"'; ++end) {
                    if (line[end] == '\\' && end + 1 < line.size() &&
                        (line[end + 1] == '"' || line[end + 1] == '\\')) {
                        ++end;
                    }
                    text += line[end];
                }
                if (end >= line.size()) {
                    Fail("a quoted text has no closing \"");
                }
                tokens.push_back({std::move(text), true});
                i = end + 1;
            } else {
                std::size_t end = i;
                while (end < line.size() && !std::isspace(static_cast<unsigned char>(line[end]))) {
                    ++end;
                }
                tokens.push_back({std::string(line.substr(i, end - i)), false});
                i = end;
            }
        }
        return tokens;
    }

    // The tokens after the word, exactly `count` of them.
    void Arguments(const std::vector<Token>& tokens, std::size_t count, const char* usage) const {
        if (tokens.size() != count + 1) {
            Fail(std::string("expected: ") + usage);
        }
    }

    float Float(const std::string& text) const {
        float value = 0;
        const char* end = text.data() + text.size();
        const auto [stop, error] = std::from_chars(text.data(), end, value);
        if (error != std::errc() || stop != end) {
            Fail("'" + text + "' is not a number (write 1.0, 0, -0, nan)");
        }
        return value;
    }

    std::uint64_t Unsigned(const std::string& text, std::uint64_t most) const {
        const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
        const char* begin = text.data() + (hex ? 2 : 0);
        const char* end = text.data() + text.size();
        std::uint64_t value = 0;
        const auto [stop, error] = std::from_chars(begin, end, value, hex ? 16 : 10);
        if (error != std::errc() || stop != end || begin == end || value > most) {
            Fail("'" + text + "' is not a number from 0 to " + std::to_string(most));
        }
        return value;
    }

    bool Choice(const std::string& text, const char* yes, const char* no) const {
        if (text == yes) {
            return true;
        }
        if (text == no) {
            return false;
        }
        Fail("'" + text + "': write " + yes + " or " + no);
    }

private:
    const std::string& source_;
    int number_;
};

int KeyCode(const LineReader& r, const std::string& text) {
    // Letters and digits are their own virtual-key codes.
    if (text.size() == 1 && (std::isupper(static_cast<unsigned char>(text[0])) ||
                             std::isdigit(static_cast<unsigned char>(text[0])))) {
        return text[0];
    }
    if (text.size() < 3 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) {
        r.Fail("'" + text +
               "' is no key: write a letter (G), a digit or a virtual-key code (0x47)");
    }
    const auto code = r.Unsigned(text, 0xFE);
    if (code == 0) {
        r.Fail("key code 0 is no key");
    }
    return static_cast<int>(code);
}

std::string Joined(const std::vector<Token>& tokens, std::size_t from) {
    std::string text;
    for (std::size_t i = from; i < tokens.size(); ++i) {
        text += (text.empty() ? "" : " ") + tokens[i].text;
    }
    return text;
}

step::Frames ParseFrames(const LineReader& r, const std::vector<Token>& tokens) {
    const char* usage =
        "frames <count> [\"what happens\"] [result=game|0] [handbrake=engaged|released] "
        "[ran=yes|no]";
    if (tokens.size() < 2) {
        r.Fail(std::string("expected: ") + usage);
    }
    step::Frames frames{static_cast<int>(r.Unsigned(tokens[1].text, kMostFramesPerLine)), {}, {}};
    if (frames.count == 0) {
        r.Fail("a run needs at least one frame");
    }
    bool labelled = false;
    for (std::size_t i = 2; i < tokens.size(); ++i) {
        const Token& t = tokens[i];
        if (t.quoted) {
            if (labelled) {
                r.Fail("a run has one quoted description");
            }
            frames.label = t.text;
            labelled = true;
            continue;
        }
        const std::size_t eq = t.text.find('=');
        if (eq == std::string::npos) {
            r.Fail("unexpected '" + t.text + "'; a description goes in quotes, expectations " +
                   "read result=, handbrake= or ran=");
        }
        const std::string key = t.text.substr(0, eq);
        const std::string value = t.text.substr(eq + 1);
        std::optional<bool>* slot = key == "result"      ? &frames.expect.gamesResult
                                    : key == "handbrake" ? &frames.expect.engaged
                                    : key == "ran"       ? &frames.expect.gameRan
                                                         : nullptr;
        if (slot == nullptr) {
            r.Fail("unknown expectation '" + key + "'; write result=, handbrake= or ran=");
        }
        if (slot->has_value()) {
            r.Fail("'" + key + "' is expected twice");
        }
        *slot = key == "result"      ? r.Choice(value, "game", "0")
                : key == "handbrake" ? r.Choice(value, "engaged", "released")
                                     : r.Choice(value, "yes", "no");
    }
    return frames;
}

step::Menu ParseMenu(const LineReader& r, const std::vector<Token>& tokens, std::size_t at,
                     bool setState, const char* usage) {
    if (tokens.size() != at + 2) {
        r.Fail(std::string("expected: ") + usage);
    }
    const std::string& name = tokens[at].text;
    const auto known = Game::MenuNames();
    if (setState && std::find(known.begin(), known.end(), name) == known.end()) {
        std::string names;
        for (const std::string_view menu : known) {
            names += (names.empty() ? "" : ", ") + std::string(menu);
        }
        r.Fail("the game's UI has no menu '" + name + "' (it has " + names +
               "); 'event menu' sends the event alone, for any name");
    }
    return {name, r.Choice(tokens[at + 1].text, "open", "close"), setState};
}

Step ParseEvent(const LineReader& r, const std::vector<Token>& tokens) {
    const char* usage =
        "event load-game | exit-vehicle | activate [by-npc|other-object] | menu <name> "
        "open|close";
    if (tokens.size() < 2) {
        r.Fail(std::string("expected: ") + usage);
    }
    const std::string& kind = tokens[1].text;
    if (kind == "load-game") {
        r.Arguments(tokens, 1, "event load-game");
        return step::LoadGame{};
    }
    if (kind == "exit-vehicle") {
        r.Arguments(tokens, 1, "event exit-vehicle");
        return step::ExitVehicle{};
    }
    if (kind == "activate") {
        if (tokens.size() == 2) {
            return step::Activate{step::Activator::PlayerOnVehicle};
        }
        r.Arguments(tokens, 2, "event activate [by-npc|other-object]");
        if (tokens[2].text == "by-npc") {
            return step::Activate{step::Activator::Npc};
        }
        if (tokens[2].text == "other-object") {
            return step::Activate{step::Activator::PlayerOnOtherObject};
        }
        r.Fail("'" + tokens[2].text + "': write by-npc or other-object, or nothing");
    }
    if (kind == "menu") {
        return ParseMenu(r, tokens, 2, false, "event menu <name> open|close");
    }
    r.Fail("unknown event '" + kind + "'; expected: " + usage);
}

step::Ini ParseIni(const LineReader& r, const std::vector<Token>& tokens) {
    const char* usage = "ini Taviro.ini|TaviroCustom.ini set <key> <value> | remove <key> | delete";
    if (tokens.size() < 3) {
        r.Fail(std::string("expected: ") + usage);
    }
    const std::string& file = tokens[1].text;
    if (file != "Taviro.ini" && file != "TaviroCustom.ini") {
        r.Fail("'" + file + "': the plugin reads Taviro.ini and TaviroCustom.ini");
    }
    // A name the file's own syntax would read differently edits some other entry.
    auto key = [&] {
        const std::string& name = tokens[3].text;
        if (name.empty() || name.find_first_of("=[];") != std::string::npos) {
            r.Fail("'" + name + "' cannot be a key in a settings file");
        }
        return name;
    };
    const std::string& action = tokens[2].text;
    if (action == "set") {
        r.Arguments(tokens, 4, "ini <file> set <key> <value>");
        return {file, key(), tokens[4].text};
    }
    if (action == "remove") {
        r.Arguments(tokens, 3, "ini <file> remove <key>");
        return {file, key(), std::nullopt};
    }
    if (action == "delete") {
        r.Arguments(tokens, 2, "ini <file> delete");
        return {file, {}, std::nullopt};
    }
    r.Fail("'" + action + "'; expected: " + usage);
}

Step ParseLine(const LineReader& r, const std::vector<Token>& tokens) {
    const std::string& word = tokens[0].text;
    if (tokens[0].quoted) {
        r.Fail("a line starts with a word, not a quoted text");
    }
    if (word == "frames") {
        return ParseFrames(r, tokens);
    }
    if (word == "note") {
        if (tokens.size() < 2) {
            r.Fail("expected: note <text>");
        }
        return step::Note{Joined(tokens, 1)};
    }
    if (word == "data-loaded") {
        r.Arguments(tokens, 0, "data-loaded");
        return step::DataLoaded{};
    }
    if (word == "update-float") {
        r.Arguments(tokens, 1, "update-float <number>");
        return step::UpdateFloat{r.Float(tokens[1].text)};
    }
    if (word == "float1" || word == "float2") {
        r.Arguments(tokens, 1, "float1|float2 <number>");
        return step::TrackedFloat{word == "float1" ? 1 : 2, r.Float(tokens[1].text)};
    }
    if (word == "truth") {
        r.Arguments(tokens, 1, "truth true|false");
        return step::Truth{r.Choice(tokens[1].text, "true", "false")};
    }
    if (word == "tracked") {
        r.Arguments(tokens, 1, "tracked present|absent");
        return step::Tracked{r.Choice(tokens[1].text, "present", "absent")};
    }
    if (word == "tracked-field") {
        r.Arguments(tokens, 1, "tracked-field <number>");
        return step::TrackedField{
            static_cast<std::uintptr_t>(r.Unsigned(tokens[1].text, UINT64_MAX))};
    }
    if (word == "menu") {
        return ParseMenu(r, tokens, 1, true, "menu <name> open|close");
    }
    if (word == "event") {
        return ParseEvent(r, tokens);
    }
    if (word == "key") {
        r.Arguments(tokens, 2, "key <key> down|up");
        return step::Key{KeyCode(r, tokens[1].text), r.Choice(tokens[2].text, "down", "up")};
    }
    if (word == "ini") {
        return ParseIni(r, tokens);
    }
    if (word == "log") {
        if (tokens.size() != 3 || !tokens[2].quoted || tokens[2].text.empty()) {
            r.Fail("expected: log has|lacks \"text\"");
        }
        return step::Log{tokens[2].text, r.Choice(tokens[1].text, "has", "lacks")};
    }
    r.Fail("unknown word '" + word +
           "'; a line starts with frames, note, data-loaded, update-float, float1, float2, "
           "truth, tracked, tracked-field, menu, event, key, ini, log or call-site");
}

// --- The settings files -----------------------------------------------------------------------

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    return text;
}

// Edits the file as a player would in a text editor: the rest of the file stays as it was.
// Section and key names match regardless of case, as the game's profile reader matches them.
void EditSettingsFile(const step::Ini& edit) {
    const fs::path file = fs::path("Data") / "SFSE" / "Plugins" / edit.file;
    if (edit.key.empty()) {
        fs::remove(file);
        return;
    }
    std::vector<std::string> lines;
    {
        std::ifstream in(file, std::ios::binary);
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            lines.push_back(line);
        }
    }
    const std::string entry = edit.key + "=" + edit.value.value_or("");
    bool inSection = false;
    std::optional<std::size_t> sectionEnd;
    bool written = false;
    for (std::size_t i = 0; i < lines.size();) {
        const std::string_view line = Trimmed(lines[i]);
        if (line.starts_with('[')) {
            inSection = SameName(Trimmed(line.substr(1, line.find(']') - 1)), "Settings");
            if (inSection) {
                sectionEnd = i + 1;
            }
        } else if (inSection && !line.empty()) {
            if (SameName(Trimmed(line.substr(0, line.find('='))), edit.key)) {
                if (!edit.value || written) {
                    lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i));
                    continue;
                }
                lines[i] = entry;
                written = true;
            }
            sectionEnd = i + 1;
        }
        ++i;
    }
    if (edit.value && !written) {
        if (sectionEnd) {
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(*sectionEnd), entry);
        } else {
            lines.push_back("[Settings]");
            lines.push_back(entry);
        }
    }
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    for (const std::string& line : lines) {
        out << line << "\r\n";
    }
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + file.string());
    }
}

// --- Running ----------------------------------------------------------------------------------

template <class... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};
// Clang 14 does not deduce aggregate template arguments by itself.
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

// The plugin promises to get a line into its file within a second.
constexpr auto kLogLatency = std::chrono::seconds(1);

std::string ReadWhole(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class Runner {
public:
    Runner(const Scenario& scenario, const RunOutputs& outputs)
        : scenario_(scenario), outputs_(outputs) {}

    int Run(const std::string& pluginPath) {
        DataFiles::Get().InstallDefaultLoadOrder();
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
        const bool loaded = host.CallLoadEntry();
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
            DataLoaded();
        }
        for (const Scenario::Line& line : scenario_.lines) {
            std::visit(Overloaded{
                           [&](const step::Frames& s) { Frames(s, line.number); },
                           [&](const step::Log& s) { CheckLog(s, line.number); },
                           [&](const auto& s) { Apply(s); },
                       },
                       line.step);
        }
        return Summary();
    }

private:
    struct Outcome {
        std::string result;
        std::string handbrake;
        bool gameRan;
        std::string failure;
        bool operator==(const Outcome&) const = default;
    };

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

    void Row(const char* text) {
        if (!tableStarted_) {
            std::printf(
                "\nframe  what happens                       hook returned      handbrake "
                "game ran\n");
            tableStarted_ = true;
        }
        std::fputs(text, stdout);
    }

    // Left-aligned in `width` columns, as printf's %-Ns does: a longer text keeps its length.
    static std::string Padded(std::string text, std::size_t width) {
        text.resize(std::max(text.size(), width), ' ');
        return text;
    }

    void Print(int frame, const std::string& label, const Outcome& o) {
        const std::string number = std::to_string(frame);
        Row((std::string(number.size() < 5 ? 5 - number.size() : 0, ' ') + number + "  " +
             Padded(label, 34) + " " + Padded(o.result, 18) + " " + Padded(o.handbrake, 9) + " " +
             (o.gameRan ? "yes" : "no") + (o.failure.empty() ? "" : "   <- " + o.failure) + "\n")
                .c_str());
    }

    void Say(const std::string& note) { Row(("       -- " + note + "\n").c_str()); }

    static std::string Check(const Expectation& e, std::uint64_t result, std::uint8_t byte,
                             bool ran) {
        std::string failure;
        auto mismatch = [&](const std::string& expected, const std::string& got) {
            failure += (failure.empty() ? "" : "; ") + ("expected " + expected + ", got " + got);
        };
        const std::string gotResult = result == Game::kVehicleUpdateResult ? "game"
                                      : result == 0                        ? "0"
                                                                           : Hex(result);
        if (e.gamesResult && result != (*e.gamesResult ? Game::kVehicleUpdateResult : 0)) {
            mismatch(*e.gamesResult ? "result=game" : "result=0", gotResult);
        }
        const std::string gotByte = byte == kEngaged    ? "engaged"
                                    : byte == kReleased ? "released"
                                                        : Hex(byte);
        if (e.engaged && byte != (*e.engaged ? kEngaged : kReleased)) {
            mismatch(*e.engaged ? "handbrake=engaged" : "handbrake=released", gotByte);
        }
        if (e.gameRan && ran != *e.gameRan) {
            mismatch(*e.gameRan ? "ran=yes" : "ran=no", ran ? "yes" : "no");
        }
        return failure;
    }

    Outcome RunFrame(const Expectation& expect, int line) {
        const auto before = game_.Count().vehicleUpdates;
        const std::uint64_t result = game_.Frame(&vehicle_);
        const std::uint8_t byte = game_.HandbrakeByte();
        const bool ran = game_.Count().vehicleUpdates != before;
        ++frame_;
        if (framesOut_) {
            framesOut_ << frame_ << ','
                       << (result == Game::kVehicleUpdateResult ? "game"
                           : result == 0                        ? "0"
                                                                : Hex(result))
                       << ','
                       << (byte == kEngaged    ? "engaged"
                           : byte == kReleased ? "released"
                                               : Hex(byte))
                       << ',' << (ran ? "yes" : "no") << '\n';
        }
        std::string failure = Check(expect, result, byte, ran);
        if (ran && game_.ByteSeenByLastUpdate() != byte) {
            // Whatever the author expects, the game must run on the byte the frame shows.
            failure += (failure.empty() ? "" : "; ") + std::string("the game ran on byte ") +
                       Hex(game_.ByteSeenByLastUpdate());
        }
        if (expect.Any()) {
            ++framesChecked_;
        }
        if (!failure.empty()) {
            if (!failures_.empty() && failures_.back().line == line &&
                failures_.back().lastFrame == frame_ - 1 && failures_.back().what == failure) {
                failures_.back().lastFrame = frame_;
            } else {
                failures_.push_back({line, frame_, frame_, failure});
            }
        }
        return {result == Game::kVehicleUpdateResult ? "game's result"
                : result == 0                        ? "0 (skipped)"
                                                     : "unexpected",
                byte == kEngaged    ? "engaged"
                : byte == kReleased ? "released"
                                    : "other",
                ran, failure};
    }

    // Prints the run, folding identical outcomes into one line.
    void Frames(const step::Frames& s, int line) {
        int runStart = frame_ + 1;
        Outcome run = RunFrame(s.expect, line);
        Print(runStart, s.label, run);
        int runLength = 1;
        auto flush = [&] {
            const int runEnd = runStart + runLength - 1;
            if (runLength > 3) {
                char text[64];
                std::snprintf(text, sizeof text, "%5s  (%d more alike)\n", "...", runLength - 2);
                Row(text);
                Print(runEnd, "", run);
                return;
            }
            for (int f = runStart + 1; f <= runEnd; ++f) {
                Print(f, "", run);
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
            Print(frame_, "", o);
        }
        flush();
    }

    void DataLoaded() {
        PluginHost::Get().DeliverMessage(kDataLoadedMessage);
        char text[160];
        std::snprintf(text, sizeof text,
                      "game data loaded; %zu event sinks registered; default settings file %s",
                      events_.Registrations().size(),
                      fs::exists("Data/SFSE/Plugins/Taviro.ini") ? "created" : "missing");
        if (tableStarted_) {
            Say(std::string("host: ") + text);
        } else {
            std::printf("host: %s\n", text);
        }
    }

    void Apply(const step::Note& s) { Say(s.text); }
    void Apply(const step::DataLoaded&) { DataLoaded(); }
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

    void CheckLog(const step::Log& s, int line) {
        // A line that is there stays; one that is missing may still come, until the plugin's
        // promise has run out (with a margin for a loaded machine when waiting for one).
        const auto deadline = std::chrono::steady_clock::now() +
                              (s.present ? 2 * kLogLatency : kLogLatency + kLogLatency / 4);
        bool found = false;
        for (;;) {
            found = ReadWhole(PluginLogPath()).find(s.text) != std::string::npos;
            if ((found && s.present) || std::chrono::steady_clock::now() > deadline) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (found != s.present) {
            failures_.push_back(
                {line, frame_, frame_,
                 std::string("the log ") + (found ? "has" : "lacks") + " \"" + s.text + "\""});
        }
    }

    // The plugin's writer has had its time when the file stops growing.
    static void WaitForLogToSettle(const fs::path& log) {
        std::error_code error;
        std::uintmax_t size = fs::file_size(log, error);
        for (int quiet = 0, i = 0; quiet < 2 && i < 20; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            const std::uintmax_t now = fs::file_size(log, error);
            quiet = now == size ? quiet + 1 : 0;
            size = now;
        }
    }

    void ReportLog() {
        const fs::path log = PluginLogPath();
        std::error_code error;
        if (!fs::is_regular_file(log, error)) {
            std::printf("log: none written\n");
            return;
        }
        WaitForLogToSettle(log);
        std::printf("log: %s\n", fs::absolute(log, error).string().c_str());
        if (!outputs_.keepLog.empty()) {
            fs::copy_file(log, outputs_.keepLog, fs::copy_options::overwrite_existing, error);
            if (error) {
                std::printf("testbed: cannot keep the log as %s: %s\n",
                            outputs_.keepLog.string().c_str(), error.message().c_str());
            }
        }
    }

    int Summary() {
        ReportLog();
        const auto count = game_.Count();
        std::printf("\ngame strings built %llu, released %llu; calls with bad arguments %llu\n",
                    static_cast<unsigned long long>(count.stringsBuilt),
                    static_cast<unsigned long long>(count.stringsReleased),
                    static_cast<unsigned long long>(count.contractViolations));
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
    GameEvents& events_ = GameEvents::Get();
    UpdateObject vehicle_;
    int frame_ = 0;
    int framesChecked_ = 0;
    bool tableStarted_ = false;
    std::vector<Failure> failures_;
};

}  // namespace

Scenario ParseScenario(std::istream& in, const std::string& source) {
    Scenario scenario;
    scenario.source = source;
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (number == 1 && line.starts_with("\xEF\xBB\xBF")) {
            line.erase(0, 3);  // the mark some Windows editors put first
        }
        const LineReader reader(source, number);
        const std::vector<Token> tokens = reader.Tokens(line);
        if (tokens.empty()) {
            continue;
        }
        if (tokens[0].text == "call-site" && !tokens[0].quoted) {
            reader.Arguments(tokens, 1, "call-site foreign");
            if (tokens[1].text != "foreign") {
                reader.Fail("'" + tokens[1].text +
                            "': the one call-site line is: call-site foreign");
            }
            if (!scenario.lines.empty() || scenario.callSiteForeign) {
                reader.Fail("call-site foreign comes first: the plugin reads the site as it loads");
            }
            scenario.callSiteForeign = true;
            continue;
        }
        Step parsed = ParseLine(reader, tokens);
        if (scenario.callSiteForeign && !std::holds_alternative<step::Log>(parsed) &&
            !std::holds_alternative<step::Note>(parsed)) {
            reader.Fail("after a refused load only note and log lines make sense");
        }
        if (std::holds_alternative<step::DataLoaded>(parsed)) {
            if (scenario.dataLoadedWritten) {
                reader.Fail("the host sends data-loaded once");
            }
            scenario.dataLoadedWritten = true;
        }
        scenario.lines.push_back({number, std::move(parsed)});
    }
    if (in.bad()) {
        throw ScenarioError(source + ": could not be read");
    }
    return scenario;
}

Scenario LoadScenario(const fs::path& file) {
    std::error_code error;
    if (!fs::is_regular_file(file, error)) {
        throw ScenarioError(file.string() + ": no such scenario file");
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw ScenarioError(file.string() + ": cannot be opened");
    }
    return ParseScenario(in, file.string());
}

int RunScenario(const Scenario& scenario, const std::string& pluginPath,
                const RunOutputs& outputs) {
    return Runner(scenario, outputs).Run(pluginPath);
}

fs::path PluginLogPath() {
    const fs::path fallback = fs::path("Data") / "SFSE" / "Plugins" / "Taviro.log";
    PWSTR documents = nullptr;
    fs::path inDocuments;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_Documents, KF_FLAG_DEFAULT, nullptr, &documents)) &&
        documents != nullptr) {
        // The testbed's own folders are ASCII; the plugin itself copes with any name.
        inDocuments = fs::path(std::wstring(documents)) / "My Games" / "Starfield" / "SFSE" /
                      "Logs" / "Taviro.log";
    }
    CoTaskMemFree(documents);
    std::error_code error;
    return !inDocuments.empty() && fs::exists(inDocuments, error) ? inDocuments : fallback;
}

}  // namespace testbed
