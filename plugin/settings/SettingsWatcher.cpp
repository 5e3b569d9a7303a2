#include "settings/SettingsWatcher.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "Win32.h"
#include "hook/ControlState.h"
#include "input/GamepadReader.h"
#include "log/Log.h"
#include "settings/IniFile.h"
#include "settings/SettingKeys.h"
#include "util/PluginThread.h"

namespace taviro {

namespace {

// Ten looks a second: a save is in force 0.1 to 0.2 s later, well within the second promised,
// and the looks cost next to nothing (two attribute queries).
constexpr auto kPeriod = std::chrono::milliseconds(100);
// How long a file must look the same before it is read. Looks keep to their schedule, so one
// that came late is followed by one that comes early: two looks alike do not by themselves mean
// a writer has stopped.
constexpr auto kSettle = std::chrono::milliseconds(80);
using Clock = std::chrono::steady_clock;

constexpr std::size_t kFileCount = std::size(kSettingsFiles);

// The file's path as the settings functions name it: relative to the game's folder. Never
// destroyed: the watching thread may still look while the process ends and runs its destructors.
const std::string& PathOf(std::size_t file) {
    static const auto* const paths = [] {
        auto* made = new std::array<std::string, kFileCount>;
        for (std::size_t i = 0; i < kFileCount; ++i) {
            (*made)[i] = IniFilePath(kSettingsFiles[i].stem);
        }
        return made;
    }();
    return (*paths)[file];
}

// What a file looks like from outside. Asked by attributes rather than by directory
// notifications, which a mod manager's virtual file system (the file really lives in the mod's
// own folder) need not send.
struct Stamp {
    bool known = false;  // false: never looked at, or read while it changed; differs from any look
    bool present = false;
    DWORD attributes = 0;
    std::uint64_t size = 0;
    std::uint64_t lastWrite = 0;
    bool operator==(const Stamp&) const = default;
};

Stamp Look(std::size_t file) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(PathOf(file).c_str(), GetFileExInfoStandard, &data)) {
        return {true, false, 0, 0, 0};
    }
    return {true, true, data.dwFileAttributes,
            (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow,
            (std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) |
                data.ftLastWriteTime.dwLowDateTime};
}

// Guarded by reloadMutex, which every reload holds from its first look to its last.
std::mutex reloadMutex;
// What the last reload put in force, none before the first. Never destroyed: a reload may still
// run on the watching thread while the process ends and runs its destructors.
std::optional<Settings>& inForce = *new std::optional<Settings>;
Stamp readStamps[kFileCount];             // the files as the last reload read them
Stamp seenStamps[kFileCount];             // the files as the watcher last looked at them
Clock::time_point seenSince[kFileCount];  // when each first looked as it does now

// Whether a reading met the file held shut. When the last reload's did, the file is read again as
// soon as it can be opened, however long it is held, and whether or not it looks changed then.
bool Held(const Settings& settings, std::size_t file) {
    return settings.Of(kSettingsFiles[file].source) == FileState::Held;
}
bool HeldAtLastReload(std::size_t file) {
    return inForce && Held(*inForce, file);
}

// A reload, after the line that says why when there is one.
void Reload(const std::string& why) {
    std::lock_guard lock(reloadMutex);
    Stamp before[kFileCount];
    for (std::size_t i = 0; i < kFileCount; ++i) {
        before[i] = Look(i);
    }
    if (!why.empty()) {
        log::Info("%s", why.c_str());
    }
    Settings settings = LoadSettings(inForce ? &*inForce : nullptr);
    // Published before it is logged: the summary line in the file means the settings are in force.
    PublishSettings(settings);
    LogSettings(settings);
    for (std::size_t i = 0; i < kFileCount; ++i) {
        const Stamp after = Look(i);
        const bool createdByUs = kSettingsFiles[i].source == SettingsSource::DefaultFile &&
                                 settings.defaultFile == FileState::Created;
        // A file that changed while it was read is read again once it has stopped changing.
        readStamps[i] = (after == before[i] || createdByUs) && !Held(settings, i) ? after : Stamp{};
        if (after != seenStamps[i]) {
            seenStamps[i] = after;
            seenSince[i] = Clock::now();
        }
    }
    inForce = std::move(settings);
}

// What became of a file since it was read, for the line that starts its reload.
const char* Change(const Stamp& was, const Stamp& now, bool wasHeld) {
    if (was.known && !was.present) {
        return "appeared";
    }
    if (!now.present) {
        return "was deleted";
    }
    return wasHeld ? "can be read again" : "changed";
}

// Still held shut: nothing to read yet. Asked only while it is, by opening it.
bool StillHeld(std::size_t file) {
    return QueryIniFile(kSettingsFiles[file].stem).status == IniFileStatus::Held;
}

std::optional<std::chrono::microseconds> WatchStep() {
    std::string why;
    {
        std::lock_guard lock(reloadMutex);
        for (std::size_t i = 0; i < kFileCount; ++i) {
            const Stamp now = Look(i);
            const Clock::time_point lookedAt = Clock::now();
            if (now != seenStamps[i]) {
                seenStamps[i] = now;  // still being written, perhaps: wait for it to settle
                seenSince[i] = lookedAt;
                continue;
            }
            if (now != readStamps[i] && lookedAt - seenSince[i] >= kSettle) {
                const bool wasHeld = HeldAtLastReload(i);
                if (wasHeld && now.present && StillHeld(i)) {
                    continue;
                }
                why += std::string(why.empty() ? "" : "; ") + kSettingsFiles[i].name + " " +
                       Change(readStamps[i], now, wasHeld);
            }
        }
    }
    if (!why.empty()) {
        Reload(why + " while the game runs: reading the settings again");
    }
    return kPeriod;
}

PluginThread& WatchThread() {
    return PluginThread::Of(&WatchStep);
}

std::uint32_t PadCodes(const Settings& settings) {
    if (settings.hotkey.value == 0) {
        return 0;  // a modifier alone is no hotkey: nothing to read
    }
    return gamepad::CodeBit(settings.hotkey.value) | gamepad::CodeBit(settings.modifier.value);
}

// The binding as the pad reader's lines name it, while no controller is connected: "the hotkey
// LB + A waits for one" needs no "(controller)".
std::string PadBindingText(const Settings& settings) {
    constexpr std::string_view kPad = " (controller)";
    std::string text = BindingText(settings.modifier.value, settings.hotkey.value);
    if (text.ends_with(kPad)) {
        text.resize(text.size() - kPad.size());
    }
    return text;
}

// A binding other than the one in force is numbered anew, so that the hook, which ends a toggled
// hotkey when the word it reads changes, sees a change even where toggling is switched off and on
// again between two of its looks. The same binding keeps its word: a save that changes other keys
// leaves a toggled handbrake on.
void PutBindingInForce(HotkeyBinding binding) {
    std::uint32_t word = controlState.hotkey.load(std::memory_order_relaxed);
    for (;;) {
        const HotkeyBinding current = HotkeyBinding::FromWord(word);
        binding.change = binding.SameAs(current) ? current.change
                                                 : static_cast<std::uint16_t>(current.change + 1);
        if (controlState.hotkey.compare_exchange_weak(word, binding.Word(),
                                                      std::memory_order_seq_cst)) {
            return;
        }
    }
}

}  // namespace

void PublishSettings(const Settings& settings) {
    PublishedSettings published;
    for (const SettingKey& key : SettingKeys()) {
        key.publish((settings.*key.value).value, published);
    }
    gamepad::CountPressesOf(settings.hotkey.value, settings.modifier.value);
    // Ordered with the hook's frame count, so that the frame the log names for these settings
    // is the first to see them (HookCallCount).
    PutBindingInForce(published.hotkey);
    controlState.loggingEnabled.store(published.logging, std::memory_order_relaxed);
    gamepad::Watch(PadCodes(settings), PadBindingText(settings));
}

void ReloadSettings() {
    Reload({});
}

void StartWatchingSettings() {
    {
        std::lock_guard lock(reloadMutex);
        for (std::size_t i = 0; i < kFileCount && !inForce; ++i) {
            // Watching without a reload before it: what is there now counts as read.
            readStamps[i] = seenStamps[i] = Look(i);
            seenSince[i] = Clock::now();
        }
    }
    WatchThread().StartOrWake();
}

void StopWatchingSettings() {
    WatchThread().Stop(std::chrono::seconds(5));
    // As a fresh process: nothing read yet, nothing in force to keep.
    std::lock_guard lock(reloadMutex);
    inForce.reset();
}

}  // namespace taviro
