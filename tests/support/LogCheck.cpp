#include "support/LogCheck.h"

#include <algorithm>
#include <regex>

namespace taviro::testing {

namespace {

// Written apart from the plugin's own decoder, so that a fault in one is not hidden by the other.
// The length of the well-formed UTF-8 character at `at`, or 0.
std::size_t Utf8Length(std::string_view s, std::size_t at) {
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

}  // namespace

std::vector<std::string> LogProblems(const std::string& text) {
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

std::vector<std::string> PageProblems(const std::string& file) {
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

std::string WithoutPagePadding(const std::string& text) {
    static const std::regex kPadding(" +\n");
    return std::regex_replace(text, kPadding, "\n");
}

std::vector<std::vector<std::string>> Matches(const std::string& text, const char* pattern) {
    const std::regex expression(pattern);
    std::vector<std::vector<std::string>> matches;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), expression);
         it != std::sregex_iterator(); ++it) {
        std::vector<std::string> groups;
        for (const auto& group : *it) {
            groups.push_back(group.str());
        }
        matches.push_back(std::move(groups));
    }
    return matches;
}

}  // namespace taviro::testing
