#include "ScenarioFiles.h"

#include <cctype>
#include <chrono>
#include <filesystem>
#include <map>
#include <thread>

#include "FilePath.h"
#include "Win32.h"

namespace testbed {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// How long a hold or a rename tries while the plugin has the file open for a moment (as it does
// while it reads it): an editor or a tool tries again too.
constexpr auto kRetryFor = std::chrono::seconds(2);

[[noreturn]] void Fail(const std::string& source, int number, const std::string& what) {
    throw ScenarioError(source + ":" + std::to_string(number) + ": " + what);
}

bool IsBlank(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// The next word of `line` from `at`, or empty at its end or at a comment.
std::string_view Word(std::string_view line, std::size_t& at) {
    while (at < line.size() && IsBlank(line[at])) {
        ++at;
    }
    if (at >= line.size() || line[at] == '#') {
        return {};
    }
    const std::size_t start = at;
    while (at < line.size() && !IsBlank(line[at])) {
        ++at;
    }
    return line.substr(start, at - start);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// The quoted TEXT at `at`, its escapes taken; `what` is set when it is no such text.
std::string QuotedText(std::string_view line, std::size_t& at, std::string& what) {
    while (at < line.size() && IsBlank(line[at])) {
        ++at;
    }
    if (at >= line.size() || line[at] != '"') {
        what = "the text to write goes in quotes";
        return {};
    }
    std::string text;
    for (++at; at < line.size(); ++at) {
        const char c = line[at];
        if (c == '"') {
            ++at;
            return text;
        }
        if (c != '\\') {
            text += c;
            continue;
        }
        const char next = at + 1 < line.size() ? line[at + 1] : '\0';
        ++at;
        switch (next) {
            case 'r':
                text += '\r';
                break;
            case 'n':
                text += '\n';
                break;
            case 't':
                text += '\t';
                break;
            case '"':
            case '\\':
                text += next;
                break;
            case 'x': {
                const int high = at + 1 < line.size() ? HexDigit(line[at + 1]) : -1;
                const int low = at + 2 < line.size() ? HexDigit(line[at + 2]) : -1;
                if (high < 0 || low < 0) {
                    what = "\\x takes two hexadecimal digits (\\xEF)";
                    return {};
                }
                text += static_cast<char>(high * 16 + low);
                at += 2;
                break;
            }
            default:
                what = std::string("unknown escape \\") + next +
                       " (write \\r, \\n, \\t, \\xHH, \\\" or \\\\)";
                return {};
        }
    }
    what = "the quoted text has no closing \"";
    return {};
}

fs::path PathOf(const std::string& name) {
    return fs::path("Data") / "SFSE" / "Plugins" / name;
}

std::wstring Wide(const fs::path& path) {
#ifdef _WIN32
    return path.wstring();
#else
    return taviro::platform::Wide(path.string());
#endif
}

// The system's words for the last error, by number.
std::string LastError() {
    return "system error " + std::to_string(GetLastError());
}

// What another program holds, by the name the scenario gave.
std::map<std::string, HANDLE>& Holds() {
    static std::map<std::string, HANDLE> holds;
    return holds;
}

bool WriteThrough(HANDLE file, const std::string& text) {
    DWORD written = 0;
    return WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

// Tries `attempt` until it works or a sharing violation stops being the reason it does not.
template <class Attempt>
bool Retried(Attempt attempt) {
    const auto deadline = Clock::now() + kRetryFor;
    for (;;) {
        if (attempt()) {
            return true;
        }
        const DWORD error = GetLastError();
        if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) ||
            Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// A whole new file at `path`, as an editor writes one: created or cut to nothing, then written.
std::string WriteWhole(const fs::path& path, const std::string& text) {
    HANDLE file = INVALID_HANDLE_VALUE;
    const bool opened = Retried([&] {
        file = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        return file != INVALID_HANDLE_VALUE;
    });
    if (!opened) {
        return "cannot open " + path.string() + " to write it: " + LastError();
    }
    const bool written = WriteThrough(file, text);
    const std::string error = written ? "" : "cannot write " + path.string() + ": " + LastError();
    CloseHandle(file);
    return error;
}

std::string Write(const step::File& s) {
    const fs::path path = PathOf(s.name);
    const auto held = Holds().find(s.name);
    if (held != Holds().end()) {
        if (s.action == step::File::Action::WriteByRename) {
            // Windows refuses to replace a file another program holds open.
            return "file " + s.name +
                   " write ... by-rename: the file is held, and Windows refuses to replace a "
                   "file held open; write without by-rename (through the holder) or let it go "
                   "first";
        }
        LARGE_INTEGER start{};
        if (!SetFilePointerEx(held->second, start, nullptr, FILE_BEGIN) ||
            !WriteThrough(held->second, s.text) || !SetEndOfFile(held->second)) {
            return "cannot write " + s.name + " through its holder: " + LastError();
        }
        return {};
    }
    if (s.action == step::File::Action::Write) {
        return WriteWhole(path, s.text);
    }
    fs::path replacement = path;
    replacement += ".taviro-new";
    if (std::string error = WriteWhole(replacement, s.text); !error.empty()) {
        return error;
    }
    const bool moved = Retried([&] {
        return MoveFileExW(Wide(replacement).c_str(), Wide(path).c_str(),
                           MOVEFILE_REPLACE_EXISTING) != FALSE;
    });
    if (!moved) {
        std::error_code ignored;
        fs::remove(replacement, ignored);
        return "cannot rename the new file over " + s.name + ": " + LastError();
    }
    return {};
}

std::string Hold(const std::string& name) {
    if (Holds().count(name) != 0) {
        return "file " + name + " hold: it is held already";
    }
    HANDLE file = INVALID_HANDLE_VALUE;
    const bool opened = Retried([&] {
        file = CreateFileW(Wide(PathOf(name)).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        return file != INVALID_HANDLE_VALUE;
    });
    if (!opened) {
        return taviro::platform::NothingThere(GetLastError())
                   ? "file " + name + " hold: there is no " + name + " to hold"
                   : "file " + name + " hold: cannot open it with no sharing: " + LastError();
    }
    Holds()[name] = file;
    return {};
}

}  // namespace

step::File ParseFileLine(std::string_view line, const std::string& source, int number) {
    const char* usage = "file NAME write \"TEXT\" [by-rename] | file NAME hold | file NAME let-go";
    std::size_t at = 0;
    Word(line, at);  // "file"
    step::File parsed{step::File::Action::Write, std::string(Word(line, at)), {}};
    if (parsed.name.empty() || parsed.name.starts_with('"')) {
        Fail(source, number, std::string("expected: ") + usage);
    }
    // The plugin folder's own files only: a name is no way out of it.
    if (parsed.name.find_first_of("/\\:") != std::string::npos || parsed.name == "." ||
        parsed.name == "..") {
        Fail(source, number,
             "'" + parsed.name + "' is no file name of Data/SFSE/Plugins (no folders in it)");
    }
    const std::string_view action = Word(line, at);
    if (action == "write") {
        std::string what;
        parsed.text = QuotedText(line, at, what);
        if (!what.empty()) {
            Fail(source, number, what);
        }
        const std::string_view how = Word(line, at);
        if (how == "by-rename") {
            parsed.action = step::File::Action::WriteByRename;
        } else if (!how.empty()) {
            Fail(source, number, "'" + std::string(how) + "': write by-rename, or nothing");
        }
    } else if (action == "hold" || action == "let-go") {
        parsed.action = action == "hold" ? step::File::Action::Hold : step::File::Action::LetGo;
    } else {
        Fail(source, number, std::string("expected: ") + usage);
    }
    if (const std::string_view rest = Word(line, at); !rest.empty()) {
        Fail(source, number, "unexpected '" + std::string(rest) + "'; expected: " + usage);
    }
    return parsed;
}

std::string ApplyFileStep(const step::File& s) {
    switch (s.action) {
        case step::File::Action::Write:
        case step::File::Action::WriteByRename:
            return Write(s);
        case step::File::Action::Hold:
            return Hold(s.name);
        case step::File::Action::LetGo: {
            const auto held = Holds().find(s.name);
            if (held == Holds().end()) {
                return "file " + s.name + " let-go: it is not held";
            }
            CloseHandle(held->second);
            Holds().erase(held);
            return {};
        }
    }
    return "unknown file step";
}

bool HeldByScenario(const std::string& name) {
    return Holds().count(name) != 0;
}

bool ForThisSystem(std::string& line, const std::string& source, int number) {
    std::size_t at = 0;
    if (Word(line, at) != "on") {
        return true;
    }
    const std::string_view system = Word(line, at);
    if (system != "windows" && system != "wine") {
        Fail(source, number,
             "'on " + std::string(system) +
                 "': write on windows (played on Windows and natively) or on wine");
    }
    const bool here = (system == "wine") == UnderWine();
    std::size_t next = at;
    const std::string_view word = Word(line, next);
    if (word.empty() || word == "call-site" || word == "other-plugin") {
        Fail(source, number, "'on " + std::string(system) + "' goes before a step's line");
    }
    line.erase(0, at);
    return here;
}

bool UnderWine() {
#ifdef _WIN32
    static const bool wine = [] {
        const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
    }();
    return wine;
#else
    return false;
#endif
}

}  // namespace testbed
