#include "support/LogCheck.h"

#include <algorithm>
#include <initializer_list>
#include <optional>

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

// Reads a line from its start, each step taking what it names or nothing.
class Reader {
public:
    explicit Reader(std::string_view line) : m_line(line) {}

    bool Take(std::string_view word) {
        if (m_line.substr(m_at, word.size()) != word) {
            return false;
        }
        m_at += word.size();
        return true;
    }
    // Exactly `count` digits, or (count 0) one or more; their value.
    std::optional<std::uint64_t> Digits(std::size_t count = 0) {
        std::size_t length = 0;
        std::uint64_t value = 0;
        while (m_at + length < m_line.size() && (count == 0 || length < count) &&
               m_line[m_at + length] >= '0' && m_line[m_at + length] <= '9') {
            value = value * 10 + static_cast<std::uint64_t>(m_line[m_at + length] - '0');
            ++length;
        }
        if (length == 0 || (count != 0 && length != count)) {
            return std::nullopt;
        }
        m_at += length;
        return value;
    }
    std::optional<std::int64_t> Signed(std::size_t count = 0) {
        const bool negative = Take("-");
        const auto digits = Digits(count);
        if (!digits) {
            return std::nullopt;
        }
        const auto value = static_cast<std::int64_t>(*digits);
        return negative ? -value : value;
    }
    // One or more of a-z, ':' and '-': a reason's or an event's name.
    std::optional<std::string> Name() {
        const std::size_t start = m_at;
        while (m_at < m_line.size() && ((m_line[m_at] >= 'a' && m_line[m_at] <= 'z') ||
                                        m_line[m_at] == ':' || m_line[m_at] == '-')) {
            ++m_at;
        }
        if (m_at == start) {
            return std::nullopt;
        }
        return std::string(m_line.substr(start, m_at - start));
    }
    std::optional<std::string> OneOf(std::initializer_list<std::string_view> words) {
        for (const std::string_view word : words) {
            if (Take(word)) {
                return std::string(word);
            }
        }
        return std::nullopt;
    }
    // Nothing but spaces left: the end of a line, or of one a page's padding fills.
    bool OnlySpacesLeft() const {
        return m_line.find_first_not_of(' ', m_at) == std::string_view::npos;
    }
    // "HH:MM:SS.mmm "
    bool Time() {
        return Digits(2) && Take(":") && Digits(2) && Take(":") && Digits(2) && Take(".") &&
               Digits(3) && Take(" ");
    }

private:
    std::string_view m_line;
    std::size_t m_at = 0;
};

// The line's trace or event record after its time, whole to its end.
std::optional<TraceLine> ReadTrace(Reader& in) {
    TraceLine trace;
    trace.event = !in.Take("trace frame=");
    if (trace.event && !in.Take("event frame=")) {
        return std::nullopt;
    }
    const auto frame = in.Digits();
    if (!frame || !in.Take(trace.event ? " " : " why=")) {
        return std::nullopt;
    }
    trace.frame = *frame;
    auto why = in.Name();
    auto handbrake =
        why && in.Take(" handbrake=") ? in.OneOf({"engaged", "released"}) : std::nullopt;
    const auto stage = handbrake && in.Take(" stage=") ? in.Signed(1) : std::nullopt;
    const auto warmup = stage && in.Take(" warmup=") ? in.Digits() : std::nullopt;
    const auto exit = warmup && in.Take(" exit=") ? in.OneOf({"open", "closed"}) : std::nullopt;
    const auto activation =
        exit && in.Take(" activation=") ? in.OneOf({"open", "closed"}) : std::nullopt;
    const auto window = activation && in.Take(" window=") ? in.Signed() : std::nullopt;
    if (!window || !in.OnlySpacesLeft()) {
        return std::nullopt;
    }
    trace.why = std::move(*why);
    trace.handbrake = std::move(*handbrake);
    trace.stage = static_cast<int>(*stage);
    trace.warmup = *warmup;
    trace.exitOpen = *exit == "open";
    trace.activationOpen = *activation == "open";
    trace.window = *window;
    return trace;
}

// A whole record as the plugin writes them: an info or error line, a trace or event line, or
// the spaces that fill a page of the file, so that no line crosses one.
bool IsWholeRecord(std::string_view line) {
    Reader in(line);
    if (in.OnlySpacesLeft()) {
        return true;
    }
    return in.Time() && (in.Take("info  ") || in.Take("error ") || ReadTrace(in).has_value());
}

}  // namespace

std::vector<std::string> LogProblems(const std::string& text) {
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
        if (!IsWholeRecord(line)) {
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
    std::string kept;
    kept.reserve(text.size());
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t newline = text.find('\n', start);
        if (newline == std::string::npos) {
            kept.append(text, start);
            break;
        }
        std::size_t end = newline;
        while (end > start && text[end - 1] == ' ') {
            --end;
        }
        kept.append(text, start, end - start).push_back('\n');
        start = newline + 1;
    }
    return kept;
}

std::vector<TraceLine> TraceLines(const std::string& text) {
    std::vector<TraceLine> traces;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        Reader in(std::string_view(text).substr(start, end - start));
        if (in.Time()) {
            if (auto trace = ReadTrace(in); trace && !trace->event) {
                traces.push_back(std::move(*trace));
            }
        }
        start = end + 1;
    }
    return traces;
}

}  // namespace taviro::testing
