#include "settings/Settings.h"

#include <string>

#include "log/Log.h"
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

// A file that is there but cannot be read gives nothing; the caller decides what a missing one
// means.
FileState ReadSettingsFile(const SettingsFile& file, IniFileQuery query, Settings& settings) {
    if (query.status == IniFileStatus::Unreadable) {
        return FileState::Unreadable;
    }
    ApplyFile(file, settings);
    return FileState::Read;
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

void LogFile(SettingsSource source, FileState state) {
    const char* name = SourceName(source);
    switch (state) {
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
        case FileState::Unreadable:
            log::Error(
                "%s: there, but it cannot be read (a folder, not a regular file, or "
                "locked by another program); its values are not used",
                name);
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
    LogFile(SettingsSource::DefaultFile, settings.defaultFile);
    LogFile(SettingsSource::CustomFile, settings.customFile);
    for (const SettingsEntry& entry : settings.entries) {
        entry.key->describe(*entry.key, entry);
    }
    log::Info("settings in force: %s; decision trace %s, from %s", HotkeyInForce(settings).c_str(),
              settings.logging.value != 0 ? "on" : "off", SourceName(settings.logging.from));
}

Settings LoadSettings() {
    Settings settings;
    for (const SettingsFile& file : kSettingsFiles) {
        FileState& state =
            file.source == SettingsSource::DefaultFile ? settings.defaultFile : settings.customFile;
        const IniFileQuery query = QueryIniFile(file.stem);
        if (query.status != IniFileStatus::Missing) {
            state = ReadSettingsFile(file, query, settings);
        } else if (file.source == SettingsSource::DefaultFile) {
            state = CreateDefaultFile(file);
        }
    }
    return settings;
}

}  // namespace taviro
