// What a player probably got wrong in a settings file, found as it is read and told in the log at
// every reading: keys Taviro does not know (with the known key nearest each), a file with no
// [Settings] section (and the section that holds a key of Taviro's instead), a UTF-8 byte-order
// mark that hides the file's first line from Windows, and a file saved under a name whose ending
// Windows hides. The keys known are the rows of the settings table (SettingKeys.h): a new setting
// is known here as soon as it is a row there.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace taviro {

struct SettingsFile;

struct UnknownKey {
    std::string name;     // as the file spells it
    const char* nearest;  // the known key nearest to it, or null when none is near
};

struct FileDiagnosis {
    std::vector<UnknownKey> unknownKeys;  // under [Settings], each once
    bool noSettingsSection = false;
    std::string sectionWithKey;   // with no [Settings]: a section holding a key of Taviro's
    std::string keyInSection;     // that key, as the file spells it
    std::string hiddenFirstLine;  // behind a UTF-8 mark: the first line the system did not see
    std::string hiddenEnding;     // the file missing: the name it was most likely saved under
};

// For a file that has just been read (and is still open), whose first bytes are `start`.
[[nodiscard]] FileDiagnosis DiagnoseReadFile(const SettingsFile& file, const std::string& start);
// For a file that was not there.
[[nodiscard]] FileDiagnosis DiagnoseMissingFile(const SettingsFile& file);

void LogDiagnosis(const SettingsFile& file, const FileDiagnosis& diagnosis);

// The known key nearest to `name` by edits of a letter (a swap of two neighbours is one), when it
// is near enough to be a slip of the keyboard; letter case does not count. Null when none is.
[[nodiscard]] const char* NearestKey(std::string_view name);

}  // namespace taviro
