// A frames line's expectations, checked as the file is read: each word against what it may say,
// and the expectations against one another, so that a scenario that cannot hold is a mistake in
// the file, named once, rather than a failure on every frame of the run.
#include <algorithm>
#include <cctype>

#include "Reasons.h"
#include "ScenarioReader.h"

namespace testbed {

namespace {

// A run long enough to cover any window the plugin keeps, short enough that a typo of a few
// extra digits is caught rather than run for minutes.
constexpr int kMostFramesPerLine = 100000;

std::string ReasonList() {
    std::string list;
    for (const std::string_view reason : kReasons) {
        list += (list.empty() ? "" : ", ") + std::string(reason);
    }
    return list;
}

// The reason a misspelling most likely meant: one that holds it whole (exit-window for
// counting:exit-window), or the same in other letter case.
std::string_view Meant(std::string value) {
    std::transform(value.begin(), value.end(), value.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const std::string_view reason : kReasons) {
        if (value.size() >= 3 && reason.find(value) != std::string_view::npos) {
            return reason;
        }
    }
    return {};
}

void CheckReason(const LineReader& r, const std::string& value) {
    if (std::find(kReasons.begin(), kReasons.end(), value) != kReasons.end()) {
        return;
    }
    const std::string_view meant = Meant(value);
    r.Fail("'" + value + "' is no reason the log gives" +
           (meant.empty() ? "" : " (did you mean " + std::string(meant) + "?)") +
           "; the reasons are " + ReasonList());
}

// The hook returns the game's result exactly when it runs the game's update (its own way out,
// or through another plugin's hook that calls on): no frame can give the one without the other.
void CheckAgreement(const LineReader& r, const Expectation& e) {
    if (!e.gamesResult || !e.gameRan || *e.gamesResult == *e.gameRan) {
        return;
    }
    r.Fail(*e.gamesResult ? "result=game with ran=no cannot hold: the hook returns the game's "
                            "result only by running the game's update"
                          : "result=0 with ran=yes cannot hold: a frame that runs the game's "
                            "update returns its result");
}

}  // namespace

step::Frames ParseFrames(const LineReader& r, const std::vector<Token>& tokens, bool otherPlugin) {
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
            CheckReason(r, value);
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
        if (key == "other" && !otherPlugin) {
            r.Fail(
                "other= checks another plugin's hook, and no other-plugin line loads one "
                "(other-plugin chaining|overwriting before|after, as the first line)");
        }
        *slot = key == "result"      ? r.Choice(value, "game", "0")
                : key == "handbrake" ? r.Choice(value, "engaged", "released")
                                     : r.Choice(value, "yes", "no");
    }
    CheckAgreement(r, frames.expect);
    return frames;
}

}  // namespace testbed
