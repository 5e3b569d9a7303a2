// A fresh working directory holding Data/SFSE/Plugins, as the game's folder does, entered for
// the lifetime of the object: the settings files are found relative to the current directory.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "ThisProcess.h"

namespace taviro::testing {

class PluginFolder {
public:
    explicit PluginFolder(bool withPluginsFolder = true) {
        namespace fs = std::filesystem;
        static std::atomic<int> serial{0};
        m_previous = fs::current_path();
        m_root = fs::temp_directory_path() /
                 ("taviro-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                  "-" + std::to_string(serial++) + "-" + std::to_string(testbed::ThisProcessId()));
        fs::remove_all(m_root);
        fs::create_directories(m_root);
        if (withPluginsFolder) {
            fs::create_directories(Plugins());
        }
        fs::current_path(m_root);
    }
    ~PluginFolder() {
        std::error_code ignored;
        std::filesystem::current_path(m_previous, ignored);
        std::filesystem::remove_all(m_root, ignored);
    }
    PluginFolder(const PluginFolder&) = delete;
    PluginFolder& operator=(const PluginFolder&) = delete;

    std::filesystem::path Root() const { return m_root; }
    std::filesystem::path Plugins() const { return m_root / "Data" / "SFSE" / "Plugins"; }

    void WriteFile(const std::string& name, const std::string& content) const {
        std::ofstream(Plugins() / name, std::ios::binary) << content;
    }

private:
    std::filesystem::path m_previous;
    std::filesystem::path m_root;
};

// The file's bytes as they are; empty when it cannot be read.
inline std::string FileText(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every entry of a settings file as ("section/key", value), in file order. Wine rewrites whole
// files, so tests compare entries, not bytes.
inline std::vector<std::pair<std::string, std::string>> SettingsIn(
    const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<std::pair<std::string, std::string>> entries;
    std::string line;
    std::string section;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!line.empty() && line.front() == '[') {
            section = line.substr(1, line.find(']') - 1);
        } else if (const auto eq = line.find('='); eq != std::string::npos) {
            entries.push_back({section + "/" + line.substr(0, eq), line.substr(eq + 1)});
        }
    }
    return entries;
}

}  // namespace taviro::testing
