// One line of a scenario file as the parser reads it: its words and quoted texts, and the checks
// that turn them into values or name the mistake, as "file:line: what is wrong".
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Scenario.h"

namespace testbed {

struct Token {
    std::string text;
    bool quoted;
};

class LineReader {
public:
    LineReader(const std::string& source, int number) : source_(source), number_(number) {}

    [[noreturn]] void Fail(const std::string& what) const;
    const std::string& Source() const { return source_; }

    std::vector<Token> Tokens(std::string_view line) const;

    // The tokens after the word, exactly `count` of them.
    void Arguments(const std::vector<Token>& tokens, std::size_t count, const char* usage) const;

    float Float(const std::string& text) const;
    std::uint64_t Unsigned(const std::string& text, std::uint64_t most) const;
    bool Choice(const std::string& text, const char* yes, const char* no) const;

private:
    const std::string& source_;
    int number_;
};

// The one of `words` that `typed` is most likely a misspelling of (two letters off at most:
// one wrong, missing, extra, or two swapped), or nothing.
std::string_view Closest(std::string_view typed, std::span<const std::string_view> words);

// The line as the table shows it: its words, one blank apart, quoted texts quoted again.
std::string LineText(const std::vector<Token>& tokens);

// A frames line: its count, description and expectations, each checked against the others and
// against what the file can give (another plugin for other=, a reason the log writes for why=).
step::Frames ParseFrames(const LineReader& r, const std::vector<Token>& tokens, bool otherPlugin);

}  // namespace testbed
