#include "SettingsFileEditor.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "ScenarioFiles.h"

namespace testbed {

namespace {

namespace fs = std::filesystem;

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    return text;
}

}  // namespace

void EditSettingsFile(const step::Ini& edit) {
    const fs::path file = fs::path("Data") / "SFSE" / "Plugins" / edit.file;
    if (HeldByScenario(edit.file)) {
        // As on Windows, where an editor cannot open it: `file NAME write` goes through the holder.
        throw std::runtime_error("ini " + edit.file + ": the file is held (file " + edit.file +
                                 " hold); write it with file " + edit.file +
                                 " write, or let it go first");
    }
    if (edit.key.empty()) {
        fs::remove(file);
        return;
    }
    std::vector<std::string> lines;
    {
        std::ifstream in(file, std::ios::binary);
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            lines.push_back(line);
        }
    }
    const std::string entry = edit.key + "=" + edit.value.value_or("");
    bool inSection = false;
    std::optional<std::size_t> sectionEnd;
    bool written = false;
    for (std::size_t i = 0; i < lines.size();) {
        const std::string_view line = Trimmed(lines[i]);
        if (line.starts_with('[')) {
            inSection = SameName(Trimmed(line.substr(1, line.find(']') - 1)), "Settings");
            if (inSection) {
                sectionEnd = i + 1;
            }
        } else if (inSection && !line.empty()) {
            if (SameName(Trimmed(line.substr(0, line.find('='))), edit.key)) {
                if (!edit.value || written) {
                    lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i));
                    continue;
                }
                lines[i] = entry;
                written = true;
            }
            sectionEnd = i + 1;
        }
        ++i;
    }
    if (edit.value && !written) {
        if (sectionEnd) {
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(*sectionEnd), entry);
        } else {
            lines.push_back("[Settings]");
            lines.push_back(entry);
        }
    }
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    for (const std::string& line : lines) {
        out << line << "\r\n";
    }
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + file.string());
    }
}

}  // namespace testbed
