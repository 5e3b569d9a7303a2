// Reading a scenario file: each line split into words and quoted texts, checked, and turned into
// the step it names. A line with a mistake is named and the reading goes on, so that one run lists
// every line to mend.
#include <algorithm>
#include <cctype>
#include <fstream>
#include <istream>
#include <iterator>
#include <string_view>
#include <system_error>

#include "GameRuntime.h"
#include "Scenario.h"
#include "ScenarioFiles.h"
#include "ScenarioReader.h"

namespace testbed {

namespace {

namespace fs = std::filesystem;

// At most this many mistakes are listed: past them, the file is more likely some other file.
constexpr std::size_t kMostMistakes = 20;

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
    const char* usage = "pad 1|2|3|4 connect|disconnect | pad 1|2|3|4 <button> down|up";
    if (tokens.size() < 3 || tokens.size() > 4) {
        r.Fail(std::string("expected: ") + usage);
    }
    const std::string& number = tokens[1].text;
    if (number.size() != 1 || number[0] < '1' || number[0] > '4') {
        r.Fail("'" + number + "' is no controller: they are numbered 1 to 4");
    }
    const int slot = number[0] - '1';
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

Step ParseLine(const LineReader& r, const std::vector<Token>& tokens, bool otherPlugin) {
    const std::string& word = tokens[0].text;
    if (tokens[0].quoted) {
        r.Fail("a line starts with a word, not a quoted text");
    }
    if (word == "frames") {
        return ParseFrames(r, tokens, otherPlugin);
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
        const char* usage = "expected: log has|had|lacks \"text\"";
        if (tokens.size() != 3 || !tokens[2].quoted || tokens[2].text.empty()) {
            r.Fail(usage);
        }
        const std::string& how = tokens[1].text;
        if (how != "has" && how != "had" && how != "lacks") {
            r.Fail("'" + how + "': " + usage);
        }
        return step::Log{tokens[2].text, how != "lacks", how == "has"};
    }
    if (word == "pad") {
        return ParsePad(r, tokens);
    }
    if (word == "wait") {
        return ParseWait(r, tokens);
    }
    static constexpr std::string_view kWords[] = {
        "frames", "note",  "data-loaded", "update-float",  "float1",
        "float2", "truth", "tracked",     "tracked-field", "menu",
        "event",  "key",   "ini",         "file",          "log",
        "pad",    "wait",  "on",          "call-site",     "other-plugin"};
    const std::string_view meant = Closest(word, kWords);
    r.Fail("unknown word '" + word + "'" +
           (meant.empty() ? "" : " (did you mean " + std::string(meant) + "?)") +
           "; a line starts with frames, note, data-loaded, update-float, float1, float2, "
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

// A line the file's own first lines decide: another plugin, or foreign code at the call site.
// Returns false when the line is a step.
bool ParseSetupLine(const LineReader& reader, const std::vector<Token>& tokens,
                    Scenario& scenario) {
    if (tokens[0].quoted) {
        return false;
    }
    if (tokens[0].text == "call-site") {
        reader.Arguments(tokens, 1, "call-site foreign");
        if (tokens[1].text != "foreign") {
            reader.Fail("'" + tokens[1].text + "': the one call-site line is: call-site foreign");
        }
        if (!scenario.lines.empty() || scenario.callSiteForeign || scenario.otherPlugin) {
            reader.Fail(
                "call-site foreign comes first, alone: the plugin reads the site as it loads");
        }
        scenario.callSiteForeign = true;
        return true;
    }
    if (tokens[0].text == "other-plugin") {
        scenario.otherPlugin = ParseOtherPlugin(reader, tokens, scenario);
        return true;
    }
    return false;
}

// `line` is the line as written, for the words that read their text whole; a step for another
// system is checked and then left out.
void ParseStep(const LineReader& reader, const std::vector<Token>& tokens, const std::string& line,
               bool forThisSystem, int number, Scenario& scenario) {
    Step parsed = tokens[0].text == "file" && !tokens[0].quoted
                      ? Step(ParseFileLine(line, reader.Source(), number))
                      : ParseLine(reader, tokens, scenario.otherPlugin.has_value());
    if (!forThisSystem) {
        return;
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
    scenario.lines.push_back({number, std::move(parsed), LineText(tokens)});
}

// A why= is read from the decision trace, which only bLogging=1 in one of the files turns on.
std::optional<int> ReasonWithoutTrace(const Scenario& scenario) {
    std::optional<int> first;
    for (const Scenario::Line& line : scenario.lines) {
        if (const auto* ini = std::get_if<step::Ini>(&line.step)) {
            if (ini->key == "bLogging" && ini->value == "1") {
                return std::nullopt;
            }
        }
        const auto* frames = std::get_if<step::Frames>(&line.step);
        if (!first && frames != nullptr && !frames->expect.why.empty()) {
            first = line.number;
        }
    }
    return first;
}

}  // namespace

Scenario ParseScenario(std::istream& in, const std::string& source) {
    Scenario scenario;
    scenario.source = source;
    std::vector<std::pair<int, std::string>> mistakes;  // by line
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (number == 1 && line.starts_with("\xEF\xBB\xBF")) {
            line.erase(0, 3);  // the mark some Windows editors put first
        }
        const LineReader reader(source, number);
        try {
            const bool forThisSystem = ForThisSystem(line, source, number);
            const std::vector<Token> tokens = reader.Tokens(line);
            if (!tokens.empty() && !ParseSetupLine(reader, tokens, scenario)) {
                ParseStep(reader, tokens, line, forThisSystem, number, scenario);
            }
        } catch (const ScenarioError& mistake) {
            mistakes.emplace_back(number, mistake.what());
        }
    }
    if (in.bad()) {
        throw ScenarioError(source + ": could not be read");
    }
    if (const auto line = ReasonWithoutTrace(scenario)) {
        const auto at = std::find_if(mistakes.begin(), mistakes.end(),
                                     [&](const auto& mistake) { return mistake.first > *line; });
        mistakes.insert(at, {*line, source + ":" + std::to_string(*line) +
                                        ": why= is read from the decision trace, and no line "
                                        "turns it on (ini TaviroCustom.ini set bLogging 1, then "
                                        "data-loaded)"});
    }
    if (!mistakes.empty()) {
        std::string text;
        const std::size_t shown = std::min(mistakes.size(), kMostMistakes);
        for (std::size_t i = 0; i < shown; ++i) {
            text += (i == 0 ? "" : "\n") + mistakes[i].second;
        }
        if (mistakes.size() > shown) {
            text += "\n" + source + ": " + std::to_string(mistakes.size() - shown) +
                    " more lines with mistakes after these";
        }
        throw ScenarioError(text);
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
