// The words of one scenario line, and the values in them.
#include "ScenarioReader.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <system_error>

namespace testbed {

void LineReader::Fail(const std::string& what) const {
    throw ScenarioError(source_ + ":" + std::to_string(number_) + ": " + what);
}

std::vector<Token> LineReader::Tokens(std::string_view line) const {
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

void LineReader::Arguments(const std::vector<Token>& tokens, std::size_t count,
                           const char* usage) const {
    if (tokens.size() != count + 1) {
        Fail(std::string("expected: ") + usage);
    }
}

float LineReader::Float(const std::string& text) const {
    float value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop != end) {
        Fail("'" + text + "' is not a number (write 1.0, 0, -0, nan)");
    }
    return value;
}

std::uint64_t LineReader::Unsigned(const std::string& text, std::uint64_t most) const {
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

bool LineReader::Choice(const std::string& text, const char* yes, const char* no) const {
    if (text == yes) {
        return true;
    }
    if (text == no) {
        return false;
    }
    Fail("'" + text + "': write " + yes + " or " + no);
}

std::string_view Closest(std::string_view typed, std::span<const std::string_view> words) {
    // Edit distance with swaps of neighbours counted as one edit.
    const auto distance = [](std::string_view a, std::string_view b) {
        std::vector<std::vector<std::size_t>> d(a.size() + 1,
                                                std::vector<std::size_t>(b.size() + 1));
        for (std::size_t i = 0; i <= a.size(); ++i) {
            d[i][0] = i;
        }
        for (std::size_t j = 0; j <= b.size(); ++j) {
            d[0][j] = j;
        }
        for (std::size_t i = 1; i <= a.size(); ++i) {
            for (std::size_t j = 1; j <= b.size(); ++j) {
                const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
                d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
                if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                    d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
                }
            }
        }
        return d[a.size()][b.size()];
    };
    std::string_view best;
    std::size_t bestDistance = 3;
    for (const std::string_view word : words) {
        const std::size_t found = distance(typed, word);
        if (found < bestDistance) {
            best = word;
            bestDistance = found;
        }
    }
    return best;
}

std::string LineText(const std::vector<Token>& tokens) {
    std::string text;
    for (const Token& token : tokens) {
        text += text.empty() ? "" : " ";
        if (!token.quoted) {
            text += token.text;
            continue;
        }
        text += '"';
        for (const char c : token.text) {
            text += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
        }
        text += '"';
    }
    return text;
}

}  // namespace testbed
