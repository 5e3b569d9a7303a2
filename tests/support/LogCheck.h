// What a helper must be able to trust in a Taviro.log, checked line by line the way a reader
// splits it: every line ends with its newline, is UTF-8, holds no raw control character or other
// line break, and is one whole record as the plugin writes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <regex>
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

// Written apart from the plugin's own decoder, so that a fault in one is not hidden by the other.
// The length of the well-formed UTF-8 character at `at`, or 0.
inline std::size_t Utf8Length(std::string_view s, std::size_t at) {
    const auto b = [&](std::size_t i) -> unsigned {
        return at + i < s.size() ? static_cast<std::uint8_t>(s[at + i]) : 0x100u;
    };
    const auto tail = [&](std::size_t i) { return (b(i) & 0xC0u) == 0x80u; };
    const unsigned c = b(0);
    if (c < 0x80) {
        return 1;
    }
    if (c >= 0xC2 && c <= 0xDF) {
        return tail(1) ? 2 : 0;
    }
    if (c >= 0xE0 && c <= 0xEF) {
        const bool second = c == 0xE0 ? b(1) >= 0xA0 : c == 0xED ? b(1) <= 0x9F : true;
        return tail(1) && second && tail(2) ? 3 : 0;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        const bool second = c == 0xF0 ? b(1) >= 0x90 : c == 0xF4 ? b(1) <= 0x8F : true;
        return tail(1) && second && tail(2) && tail(3) ? 4 : 0;
    }
    return 0;
}

// Every way the text falls short, "line N: ..."; empty when it is a log to trust.
inline std::vector<std::string> LogProblems(const std::string& text) {
    static const std::regex kRecord(
        R"(\d\d:\d\d:\d\d\.\d\d\d (info  |error )[^\n]*)"
        R"(|\d\d:\d\d:\d\d\.\d\d\d (trace frame=\d+ why=|event frame=\d+ )[a-z:-]+ )"
        R"(handbrake=(engaged|released) stage=-?\d warmup=\d+ exit=(open|closed) )"
        R"(activation=(open|closed) window=-?\d+ *)"
        R"(| *)");  // spaces that fill a page of the file, so that no line crosses one
    std::vector<std::string> problems;
    if (!text.empty() && text.back() != '\n') {
        problems.push_back("the last line has no newline");
    }
    std::size_t number = 0;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::string_view line(text.data() + start, end - start);
        const std::string where = "line " + std::to_string(++number) + ": ";
        for (std::size_t at = 0; at < line.size();) {
            const std::size_t length = Utf8Length(line, at);
            const auto c = static_cast<std::uint8_t>(line[at]);
            const auto next = at + 1 < line.size() ? static_cast<std::uint8_t>(line[at + 1]) : 0;
            const auto third = at + 2 < line.size() ? static_cast<std::uint8_t>(line[at + 2]) : 0;
            if (length == 0) {
                problems.push_back(where + "not UTF-8 at byte " + std::to_string(at));
                break;
            }
            if (c < 0x20 || c == 0x7F || (c == 0xC2 && next >= 0x80 && next <= 0x9F) ||
                (c == 0xE2 && next == 0x80 && (third == 0xA8 || third == 0xA9))) {
                problems.push_back(where + "a raw control or line break at byte " +
                                   std::to_string(at));
                break;
            }
            at += length;
        }
        if (!std::regex_match(line.begin(), line.end(), kRecord)) {
            problems.push_back(where + "not a whole record: " + std::string(line.substr(0, 80)));
        }
        start = end + 1;
    }
    return problems;
}

// Every line of the file as the plugin wrote it (spaces that fill a page included) that lies
// across a 4 KiB page of the file, "line N: ..."; empty when none does.
inline std::vector<std::string> PageProblems(const std::string& file) {
    constexpr std::size_t kPage = 4096;
    std::vector<std::string> problems;
    std::size_t number = 0;
    for (std::size_t start = 0; start < file.size();) {
        const std::size_t end = std::min(file.find('\n', start), file.size() - 1);
        ++number;
        if (start / kPage != end / kPage) {
            problems.push_back("line " + std::to_string(number) + " lies across the page at byte " +
                               std::to_string(end / kPage * kPage) + ": " +
                               file.substr(start, std::min<std::size_t>(end - start, 60)));
        }
        start = end + 1;
    }
    return problems;
}

}  // namespace taviro::testing
