#include "ScenarioLog.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <thread>

#include "Scenario.h"
#include "Shell.h"
#include "Win32.h"

namespace testbed {

namespace fs = std::filesystem;

namespace {

std::string ReadWhole(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Where the lines that start at or after `from` begin: a line the point falls inside of began
// before it.
std::size_t LineStartFrom(const std::string& log, std::uintmax_t from) {
    if (from == 0) {
        return 0;
    }
    if (from > log.size()) {
        return log.size();  // the file began again, shorter: nothing of it is new to us
    }
    const std::size_t at = static_cast<std::size_t>(from);
    if (log[at - 1] == '\n') {
        return at;
    }
    const std::size_t end = log.find('\n', at);
    return end == std::string::npos ? log.size() : end + 1;
}

// The plugin's writer has had its time when the file has not grown for `looks` looks in a row,
// each a little longer apart than the writer sleeps between its own (200 ms).
void WaitForLogToSettle(const fs::path& log, int looks) {
    std::error_code error;
    std::uintmax_t size = fs::file_size(log, error);
    for (int quiet = 0, i = 0; quiet < looks && i < 20; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        const std::uintmax_t now = fs::file_size(log, error);
        quiet = now == size ? quiet + 1 : 0;
        size = now;
    }
}

}  // namespace

namespace pluginlog {

std::uintmax_t End() {
    std::error_code error;
    const std::uintmax_t size = fs::file_size(PluginLogPath(), error);
    return error ? 0 : size;
}

void Settle() {
    WaitForLogToSettle(PluginLogPath(), 1);
}

bool Holds(const std::string& text, std::uintmax_t from, bool present,
           std::chrono::milliseconds wait) {
    // A line that is there stays; one that is missing may still come, until the wait is over.
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        const std::string log = ReadWhole(PluginLogPath());
        const bool found = log.find(text, LineStartFrom(log, from)) != std::string::npos;
        if ((found && present) || std::chrono::steady_clock::now() > deadline) {
            return found;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

std::map<int, std::string> TracedWhys() {
    const fs::path path = PluginLogPath();
    WaitForLogToSettle(path, 2);
    const std::string log = ReadWhole(path);
    const std::size_t launch = log.rfind(" info  Taviro.log, started ");
    std::istringstream in(log.substr(launch == std::string::npos ? 0 : launch));
    std::map<int, std::string> whys;
    for (std::string line; std::getline(in, line);) {
        const std::size_t at = line.find(" trace frame=");
        if (at == std::string::npos) {
            continue;
        }
        std::istringstream words(line.substr(at + std::strlen(" trace frame=")));
        int frame = 0;
        std::string why;
        if (words >> frame >> why && why.starts_with("why=")) {
            whys[frame] = why.substr(4);
        }
    }
    return whys;
}

}  // namespace pluginlog

fs::path PluginLogPath() {
    const fs::path fallback = fs::path("Data") / "SFSE" / "Plugins" / "Taviro.log";
    PWSTR documents = nullptr;
    fs::path inDocuments;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_Documents, KF_FLAG_DEFAULT, nullptr, &documents)) &&
        documents != nullptr) {
        // The testbed's own folders are ASCII; the plugin itself copes with any name.
        inDocuments = fs::path(std::wstring(documents)) / "My Games" / "Starfield" / "SFSE" /
                      "Logs" / "Taviro.log";
    }
    CoTaskMemFree(documents);
    std::error_code error;
    return !inDocuments.empty() && fs::exists(inDocuments, error) ? inDocuments : fallback;
}

}  // namespace testbed
