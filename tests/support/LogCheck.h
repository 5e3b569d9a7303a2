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

// The groups each match of the regular expression `pattern` captures in `text`, in order: the
// whole match first. (Compiled in one place: a regular expression costs every program that
// instantiates it seconds of its build.)
std::vector<std::vector<std::string>> Matches(const std::string& text, const char* pattern);

}  // namespace taviro::testing
