#include "settings/Settings.h"

#include <string>

#include "hook/VehicleUpdateHook.h"
#include "log/Log.h"
#include "log/LogFile.h"
#include "settings/IniFile.h"
#include "settings/SettingKeys.h"

namespace taviro {

namespace {

bool MaySet(const SettingKey& key, SettingsSource source) {
    return key.files == SettingFiles::Either || source == SettingsSource::CustomFile;
}

// Only keys the file actually gives change anything, so the custom file overrides the default
// file key by key.
void ApplyFile(const SettingsFile& file, Settings& settings) {
    for (const SettingKey& key : SettingKeys()) {
        if (!MaySet(key, file.source)) {
            continue;
        }
        std::string text = ReadIniString(file.stem, kSettingsSection, key.name);
        if (text.empty()) {
            continue;
        }
        const ValueReading read = key.read(text);
        if (read.verdict == ValueVerdict::Taken) {
            settings.*key.value = {read.value, file.source};
        }
        settings.entries.push_back({file.source, &key, std::move(text), read.verdict, read.value});
    }
}

// A file held shut for now gives what it gave the reading in force, if that could read it (or
// itself kept an earlier one): a file being saved by a tool that holds it a moment is no file
// taken away.
void KeepEarlier(const SettingsFile& file, const Settings& earlier, Settings& settings) {
    FileReading& reading = settings.Of(file.source);
    const FileReading& was = earlier.Of(file.source);
    reading.heldBefore = was.state == FileState::Held;
    reading.keptEarlier = was.state == FileState::Read || (reading.heldBefore && was.keptEarlier);
    if (!reading.keptEarlier) {
        return;
    }
    for (const SettingsEntry& entry : earlier.entries) {
        if (entry.file != file.source) {
            continue;
        }
        if (entry.verdict == ValueVerdict::Taken) {
            settings.*(entry.key->value) = {entry.value, file.source};
        }
        settings.entries.push_back(entry);
    }
}

// Written for the player to find and edit, not read back: the defaults are already in force. A
// folder that cannot take the file is no reason to stop; a file that took only some of its keys
// is no file created.
FileState CreateDefaultFile(const SettingsFile& file) {
    bool written = true;
    for (const SettingKey& key : SettingKeys()) {
        if (key.newFile != nullptr) {
            written = WriteIniString(file.stem, kSettingsSection, key.name, key.newFile) && written;
        }
    }
    return written ? FileState::Created : FileState::NotCreated;
}

// What a new Taviro.ini holds, as the log says it: "bLogging=0, iHandbrakeHotkey=0x0".
std::string NewFileValues() {
    std::string values;
    for (const SettingKey& key : SettingKeys()) {
        if (key.newFile != nullptr) {
            values += (values.empty() ? "" : ", ") + std::string(key.name) + "=" + key.newFile;
        }
    }
    return values;
}

// What a file held shut means for the settings, as its line ends.
const char* HeldConsequence(const FileReading& reading) {
    return reading.keptEarlier ? "the settings read from it earlier stay in force"
                               : "none of its settings are in force until it can be read";
}

void LogFile(const SettingsFile& file, const FileReading& reading) {
    const char* name = file.name;
    switch (reading.state) {
        case FileState::Missing:
            log::Info(
                "%s: not there (optional: your own settings go there and win over "
                "Taviro.ini)",
                name);
            break;
        case FileState::Read:
            log::Info("%s: read", name);
            break;
        case FileState::Created:
            log::Info("%s: missing, so created with the defaults (%s)", name,
                      NewFileValues().c_str());
            break;
        case FileState::NotCreated:
            log::Error(
                "%s: missing, and it could not be created (is Data\\SFSE\\Plugins "
                "there and writable?); the defaults apply",
                name);
            break;
        case FileState::Held:
            // Said whole once while it lasts; the readings it meets later only say it goes on.
            if (reading.heldBefore) {
                log::Info("%s: still cannot be read; %s", name, HeldConsequence(reading));
                break;
            }
            log::Error(
                "%s: cannot be read for now (%s): another program may be holding it, an editor or "
                "a sync or scan tool",
                name, log::FileOutcome::SystemError(reading.error).Text().c_str());
            log::Info("%s: %s, and it is read again as soon as it can be", name,
                      HeldConsequence(reading));
            break;
        case FileState::Unreadable:
            log::Error("%s: there, but it cannot be read (%s); its values are not used", name,
                       reading.error != 0
                           ? log::FileOutcome::SystemError(reading.error).Text().c_str()
                           : "a folder, or not a regular file");
            break;
    }
}

// The summary's hotkey: the key and its modifier in a player's words, held or toggled, and where
// they came from.
std::string HotkeyInForce(const Settings& s) {
    const bool toggle = s.toggle.value != 0;
    if (s.hotkey.value == 0) {
        std::string none = std::string("no hotkey, from ") + SourceName(s.hotkey.from);
        std::string waiting;
        if (s.modifier.value != 0) {
            waiting = "the modifier " + BindingText(0, s.modifier.value);
        }
        if (toggle) {
            waiting += waiting.empty() ? "toggling" : " and toggling";
        }
        if (!waiting.empty()) {
            const bool both = s.modifier.value != 0 && toggle;
            none += " (" + waiting + (both ? " wait" : " waits") + " for one)";
        }
        return none;
    }
    std::string text = "hotkey " + BindingText(s.modifier.value, s.hotkey.value) + ", ";
    if (toggle) {
        text += "press to engage and press again to release, ";
    }
    // Where each part came from: in one word where they share a file, else file by file.
    struct Part {
        const char* what;
        SettingsSource from;
    };
    Part parts[3] = {{"the key", s.hotkey.from}};
    std::size_t count = 1;
    if (s.modifier.value != 0) {
        parts[count++] = {"the modifier", s.modifier.from};
    }
    if (toggle) {
        parts[count++] = {"toggling", s.toggle.from};
    }
    std::string whence;
    std::size_t files = 0;
    bool told[3] = {};
    for (std::size_t i = 0; i < count; ++i) {
        if (told[i]) {
            continue;
        }
        std::string group = parts[i].what;
        for (std::size_t j = i + 1; j < count; ++j) {
            if (!told[j] && parts[j].from == parts[i].from) {
                group += std::string(" and ") + parts[j].what;
                told[j] = true;
            }
        }
        whence += (whence.empty() ? "" : " and ") + group + " from " + SourceName(parts[i].from);
        ++files;
    }
    return text + (files == 1 ? std::string("from ") + SourceName(s.hotkey.from) : whence);
}

}  // namespace

void LogSettings(const Settings& settings) {
    for (const SettingsFile& file : kSettingsFiles) {
        LogFile(file, settings.Of(file.source));
        LogDiagnosis(file, settings.Of(file.source).diagnosis);
    }
    for (const SettingsEntry& entry : settings.entries) {
        // A held file's values were told when it was read.
        if (settings.Of(entry.file).state != FileState::Held) {
            entry.key->describe(*entry.key, entry);
        }
    }
    // Written once the settings are published: the frames the hook has not begun yet see them,
    // which lets a reader of the log place the change on its frames.
    log::Info("settings in force: %s; decision trace %s, from %s; from frame=%llu on",
              HotkeyInForce(settings).c_str(), settings.logging.value != 0 ? "on" : "off",
              SourceName(settings.logging.from),
              static_cast<unsigned long long>(HookCallCount()) + 1);
}

Settings LoadSettings(const Settings* earlier) {
    Settings settings;
    for (const SettingsFile& file : kSettingsFiles) {
        FileReading& reading = settings.Of(file.source);
        // Open until the file has been read: no other program can hold it shut halfway.
        const IniFileQuery query = QueryIniFile(file.stem);
        reading.error = query.error;
        switch (query.status) {
            case IniFileStatus::Readable:
                ApplyFile(file, settings);
                reading.state = FileState::Read;
                reading.diagnosis = DiagnoseReadFile(file, query.start);
                break;
            case IniFileStatus::Held:
                reading.state = FileState::Held;
                if (earlier != nullptr) {
                    KeepEarlier(file, *earlier, settings);
                }
                break;
            case IniFileStatus::Unreadable:
                reading.state = FileState::Unreadable;
                break;
            case IniFileStatus::Missing:
                reading.state = file.source == SettingsSource::DefaultFile ? CreateDefaultFile(file)
                                                                           : FileState::Missing;
                reading.diagnosis = DiagnoseMissingFile(file);
                break;
        }
    }
    return settings;
}

}  // namespace taviro
