#include "settings/SettingsDiagnostics.h"

#include <algorithm>
#include <vector>

#include "log/Log.h"
#include "settings/IniFile.h"
#include "settings/SettingKeys.h"
#include "util/AsciiCase.h"

namespace taviro {

namespace {

constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";

// The names a player's editor or Windows' save dialog most likely gave the file instead, in the
// order they are looked for: ".txt" added to the name, ".txt" in place of ".ini", ".ini" twice.
constexpr const char* kHiddenEndings[][2] = {
    {".ini.txt", ".txt"}, {".txt", ".txt"}, {".ini.ini", ".ini"}};

// Edits of one letter to turn `a` into `b`, a swap of two neighbours counting as one; letter case
// does not count, as the private-profile functions match names without it.
std::size_t EditDistance(std::string_view a, std::string_view b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) {
        d[i][0] = i;
    }
    for (std::size_t j = 0; j <= b.size(); ++j) {
        d[0][j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const bool same = LowerAscii(a[i - 1]) == LowerAscii(b[j - 1]);
            d[i][j] =
                std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (same ? 0 : 1)});
            if (i > 1 && j > 1 && LowerAscii(a[i - 1]) == LowerAscii(b[j - 2]) &&
                LowerAscii(a[i - 2]) == LowerAscii(b[j - 1])) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

bool IsKnownKey(std::string_view name) {
    return std::any_of(SettingKeys().begin(), SettingKeys().end(), [name](const SettingKey& key) {
        return EqualIgnoringAsciiCase(name, key.name);
    });
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

bool Listed(const std::vector<std::string>& names, std::string_view name) {
    return std::any_of(names.begin(), names.end(), [name](const std::string& listed) {
        return EqualIgnoringAsciiCase(listed, name);
    });
}

// A section header first in the file, behind a UTF-8 mark, that the system did not list: Windows
// takes the mark for part of the line. (Where the system skips the mark, it lists the section.)
std::string FirstLineHiddenByMark(const std::string& start,
                                  const std::vector<std::string>& sections) {
    if (!std::string_view(start).starts_with(kUtf8Mark)) {
        return {};
    }
    std::string_view line = std::string_view(start).substr(kUtf8Mark.size());
    line = TrimBlanks(line.substr(0, line.find_first_of("\r\n")));
    const std::size_t close = line.find(']');
    if (!line.starts_with('[') || close == std::string_view::npos) {
        return {};
    }
    const std::string_view name = TrimBlanks(line.substr(1, close - 1));
    return Listed(sections, name) ? std::string() : std::string(line.substr(0, close + 1));
}

// Each key under [Settings] that is no setting of Taviro's, once.
std::vector<UnknownKey> UnknownKeys(const SettingsFile& file) {
    std::vector<UnknownKey> unknown;
    for (const std::string& name : IniNames(file.stem, kSettingsSection)) {
        const bool said = std::any_of(unknown.begin(), unknown.end(), [&](const UnknownKey& k) {
            return EqualIgnoringAsciiCase(k.name, name);
        });
        if (!said && !IsKnownKey(name)) {
            unknown.push_back({name, NearestKey(name)});
        }
    }
    return unknown;
}

// What the settings are called, for a line that has no nearer one to offer.
std::string KnownKeys() {
    std::string names;
    for (const SettingKey& key : SettingKeys()) {
        names += (names.empty() ? "" : ", ") + std::string(key.name);
    }
    return names;
}

}  // namespace

const char* NearestKey(std::string_view name) {
    const char* nearest = nullptr;
    std::size_t best = 0;
    for (const SettingKey& key : SettingKeys()) {
        // A slip of the keyboard: a letter or two, three at most in a long name.
        const std::size_t near =
            std::clamp<std::size_t>(std::string_view(key.name).size() / 4, 1, 3);
        const std::size_t distance = EditDistance(name, key.name);
        if (distance <= near && (nearest == nullptr || distance < best)) {
            nearest = key.name;
            best = distance;
        }
    }
    return nearest;
}

FileDiagnosis DiagnoseReadFile(const SettingsFile& file, const std::string& start) {
    FileDiagnosis diagnosis;
    const std::vector<std::string> sections = IniNames(file.stem, nullptr);
    diagnosis.hiddenFirstLine = FirstLineHiddenByMark(start, sections);
    if (Listed(sections, kSettingsSection)) {
        diagnosis.unknownKeys = UnknownKeys(file);
        return diagnosis;
    }
    if (EqualIgnoringAsciiCase(diagnosis.hiddenFirstLine, "[Settings]")) {
        return diagnosis;  // the mark's line says what became of it
    }
    diagnosis.noSettingsSection = true;
    for (const std::string& section : sections) {
        for (const std::string& key : IniNames(file.stem, section.c_str())) {
            if (IsKnownKey(key)) {
                diagnosis.sectionWithKey = section;
                diagnosis.keyInSection = key;
                return diagnosis;
            }
        }
    }
    return diagnosis;
}

FileDiagnosis DiagnoseMissingFile(const SettingsFile& file) {
    FileDiagnosis diagnosis;
    for (const auto& [ending, hidden] : kHiddenEndings) {
        const std::string name = file.stem + std::string(ending);
        if (PluginFileThere(name)) {
            diagnosis.hiddenEnding = name;
            break;
        }
    }
    return diagnosis;
}

void LogDiagnosis(const SettingsFile& file, const FileDiagnosis& diagnosis) {
    for (const UnknownKey& key : diagnosis.unknownKeys) {
        if (key.nearest != nullptr) {
            log::Error("%s: %s is no setting of Taviro; did you mean %s?", file.name,
                       key.name.c_str(), key.nearest);
        } else {
            log::Error("%s: %s is no setting of Taviro (its settings are %s)", file.name,
                       key.name.c_str(), KnownKeys().c_str());
        }
    }
    if (!diagnosis.hiddenFirstLine.empty()) {
        log::Error(
            "%s starts with a UTF-8 byte-order mark, so Windows does not see its first line, %s, "
            "nor the keys under it",
            file.name, diagnosis.hiddenFirstLine.c_str());
        log::Info(
            "%s: save it as UTF-8 without the mark (Notepad's \"UTF-8\"), or as ANSI, or leave its "
            "first line empty",
            file.name);
    }
    if (diagnosis.noSettingsSection) {
        if (!diagnosis.sectionWithKey.empty()) {
            log::Error("%s has no [Settings] section; [%s] holds %s: rename it [Settings]",
                       file.name, diagnosis.sectionWithKey.c_str(), diagnosis.keyInSection.c_str());
        } else {
            log::Error(
                "%s has no [Settings] section, so Taviro finds none of its settings there: they "
                "go under a line [Settings]",
                file.name);
        }
    }
    if (!diagnosis.hiddenEnding.empty()) {
        const std::string& name = diagnosis.hiddenEnding;
        const char* ending = ".txt";
        for (const auto& [suffix, hidden] : kHiddenEndings) {
            if (name == file.stem + std::string(suffix)) {
                ending = hidden;
            }
        }
        log::Error("%s was not there, but %s is: Windows hides the ending %s, so rename it %s",
                   file.name, name.c_str(), ending, file.name);
    }
}

}  // namespace taviro
