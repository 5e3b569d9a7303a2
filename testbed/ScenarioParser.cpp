// Reading a scenario file: each line split into words and quoted texts, checked, and turned into
// the step it names; the first mistake ends the reading with the file and line it is on.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <fstream>
#include <istream>
#include <iterator>
#include <string_view>
#include <system_error>

#include "GameRuntime.h"
#include "Scenario.h"
#include "ScenarioFiles.h"

namespace testbed {

namespace {

namespace fs = std::filesystem;

// A run long enough to cover any window the plugin keeps, short enough that a typo of a few
// extra digits is caught rather than run for minutes.
constexpr int kMostFramesPerLine = 100000;

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
        "[ran=yes|no] [other=yes|no] [why=<reason>]";
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
                   "read result=, handbrake=, ran=, other= or why=");
        }
        const std::string key = t.text.substr(0, eq);
        const std::string value = t.text.substr(eq + 1);
        if (key == "why") {
            if (!frames.expect.why.empty()) {
                r.Fail("'why' is expected twice");
            }
            if (value.empty() ||
                value.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789:-") !=
                    std::string::npos) {
                r.Fail("'" + value + "' is no reason the log gives; write it as the log does " +
                       "(why=hotkey-held, why=counting:exit-window)");
            }
            frames.expect.why = value;
            continue;
        }
        std::optional<bool>* slot = key == "result"      ? &frames.expect.gamesResult
                                    : key == "handbrake" ? &frames.expect.engaged
                                    : key == "ran"       ? &frames.expect.gameRan
                                    : key == "other"     ? &frames.expect.otherRan
                                                         : nullptr;
        if (slot == nullptr) {
            r.Fail("unknown expectation '" + key +
                   "'; write result=, handbrake=, ran=, other= or why=");
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

// --- Controllers and real time ---

// A controller's button as the players' readme names it, or its gamepad code.
int PadCode(const LineReader& r, const std::string& text) {
    // In code order, from VK_GAMEPAD_A (0xC3).
    // clang-format off
    static constexpr const char* kNames[] = {
        "A", "B", "X", "Y", "RB", "LB", "LT", "RT",
        "DpadUp", "DpadDown", "DpadLeft", "DpadRight", "Menu", "View", "LS", "RS",
        "LeftStickUp", "LeftStickDown", "LeftStickRight", "LeftStickLeft",
        "RightStickUp", "RightStickDown", "RightStickRight", "RightStickLeft"};
    // clang-format on
    constexpr int kFirstPadCode = 0xC3;
    for (std::size_t i = 0; i < std::size(kNames); ++i) {
        if (text == kNames[i]) {
            return kFirstPadCode + static_cast<int>(i);
        }
    }
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        const auto code = static_cast<int>(r.Unsigned(text, 0xFF));
        if (code >= kFirstPadCode && code < kFirstPadCode + static_cast<int>(std::size(kNames))) {
            return code;
        }
    }
    r.Fail("'" + text +
           "' is no controller button: write A, B, X, Y, LB, RB, LT, RT, DpadUp, Menu, View, LS, "
           "RS, LeftStickUp (and the other directions of both sticks) or a code 0xC3 to 0xDA");
}

step::Pad ParsePad(const LineReader& r, const std::vector<Token>& tokens) {
    const char* usage = "pad 1-4 connect|disconnect | pad 1-4 <button> down|up";
    if (tokens.size() < 3 || tokens.size() > 4) {
        r.Fail(std::string("expected: ") + usage);
    }
    const int slot = static_cast<int>(r.Unsigned(tokens[1].text, 4)) - 1;
    if (slot < 0) {
        r.Fail("pads are numbered 1 to 4");
    }
    if (tokens.size() == 3) {
        return {slot, r.Choice(tokens[2].text, "connect", "disconnect"), 0, false};
    }
    return {slot, std::nullopt, PadCode(r, tokens[2].text), r.Choice(tokens[3].text, "down", "up")};
}

step::Wait ParseWait(const LineReader& r, const std::vector<Token>& tokens) {
    r.Arguments(tokens, 1, "wait <seconds>");
    const float seconds = r.Float(tokens[1].text);
    // Long enough for anything the plugin promises, short enough that a typo is not a long wait.
    if (!(seconds > 0.0f && seconds <= 10.0f)) {
        r.Fail("a wait is more than 0 and at most 10 seconds");
    }
    return {static_cast<int>(seconds * 1000.0f + 0.5f)};
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
    if (word == "pad") {
        return ParsePad(r, tokens);
    }
    if (word == "wait") {
        return ParseWait(r, tokens);
    }
    r.Fail("unknown word '" + word +
           "'; a line starts with frames, note, data-loaded, update-float, float1, float2, "
           "truth, tracked, tracked-field, menu, event, key, ini, file, log, pad, wait, on, "
           "call-site or other-plugin");
}

// Another plugin is there from the start, loaded before or after ours, as the host loads plugins.
Scenario::OtherPlugin ParseOtherPlugin(const LineReader& r, const std::vector<Token>& tokens,
                                       const Scenario& scenario) {
    r.Arguments(tokens, 2, "other-plugin chaining|overwriting before|after");
    if (!scenario.lines.empty() || scenario.otherPlugin || scenario.callSiteForeign) {
        r.Fail("other-plugin comes first, once: the host loads every plugin before the game runs");
    }
    return {r.Choice(tokens[1].text, "chaining", "overwriting"),
            r.Choice(tokens[2].text, "before", "after")};
}

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
        const bool forThisSystem = ForThisSystem(line, source, number);
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
            if (!scenario.lines.empty() || scenario.callSiteForeign || scenario.otherPlugin) {
                reader.Fail(
                    "call-site foreign comes first, alone: the plugin reads the site as it loads");
            }
            scenario.callSiteForeign = true;
            continue;
        }
        if (tokens[0].text == "other-plugin" && !tokens[0].quoted) {
            scenario.otherPlugin = ParseOtherPlugin(reader, tokens, scenario);
            continue;
        }
        Step parsed = tokens[0].text == "file" && !tokens[0].quoted
                          ? Step(ParseFileLine(line, source, number))
                          : ParseLine(reader, tokens);
        if (!forThisSystem) {
            continue;
        }
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

}  // namespace testbed
