// What a helper must be able to trust in a Taviro.log, checked line by line the way a reader
// splits it: every line ends with its newline, is UTF-8, holds no raw control character or other
// line break, and is one whole record as the plugin writes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace taviro::testing {

// How often `what` stands in `text`, overlapping or not: a report said twice shows as 2.
inline std::size_t Occurrences(std::string_view text, std::string_view what) {
    std::size_t count = 0;
    for (auto at = text.find(what); at != std::string_view::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

// Every way the text falls short, "line N: ..."; empty when it is a log to trust.
std::vector<std::string> LogProblems(const std::string& text);

// Every line of the file as the plugin wrote it (spaces that fill a page included) that lies
// across a 4 KiB page of the file, "line N: ..."; empty when none does.
std::vector<std::string> PageProblems(const std::string& file);

// The text without the spaces that may fill a page's last line.
std::string WithoutPagePadding(const std::string& text);

// A trace line ("trace frame=N why=...") or an event line ("event frame=N <event> ..."), read
// apart from the plugin's own wording of it.
struct TraceLine {
    bool event = false;
    std::uint64_t frame = 0;
    std::string why;  // the reason, or the event's name
    std::string handbrake;
    int stage = 0;
    std::uint64_t warmup = 0;
    bool exitOpen = false;
    bool activationOpen = false;
    std::int64_t window = 0;
};

// Every whole trace line of `text` (event lines left out), in order.
std::vector<TraceLine> TraceLines(const std::string& text);

}  // namespace taviro::testing
