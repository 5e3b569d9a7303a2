// The host binding: the version record, the load entry and the message listener.
#include "PluginEntry.h"

#include <cstdio>

#include "BranchTrampoline.h"
#include "EventSinks.h"
#include "Report.h"
#include "TaviroVersion.h"
#include "Win32.h"
#include "game/GameOffsets.h"
#include "hook/ControlState.h"
#include "hook/VehicleUpdateCall.h"
#include "hook/VehicleUpdateHook.h"
#include "log/Log.h"
#include "settings/SettingsWatcher.h"

extern "C" const taviro::host::PluginVersionData SFSEPlugin_Version = {
    1,
    taviro::host::MakeVersion(TAVIRO_VERSION_MAJOR, TAVIRO_VERSION_MINOR, TAVIRO_VERSION_PATCH),
    TAVIRO_DISPLAY_NAME,
    TAVIRO_AUTHOR,
    0,
    0,
    {taviro::host::kRuntime_1_14_74},
    0,
    0,
    0,
};

namespace taviro {

namespace {

std::uint32_t pluginHandle = 0;

// Frees the trampoline when the process ends. The game's call still points into it, which is
// why nothing else may ever release it.
struct TrampolineRelease {
    ~TrampolineRelease() { sfse_common::branchTrampoline.Release(); }
} trampolineRelease;

// Inside the game's UI object: the source of its menu events.
constexpr std::ptrdiff_t kUiMenuEventSource = 0x10;

void RegisterSink(void* source, void* sink) {
    game::Call(offsets::kRegisterSink, source, sink);
}

void RegisterSinks() {
    void* ui = game::Read(offsets::kGameUiGlobal);
    if (ui != nullptr) {
        RegisterSink(static_cast<std::uint8_t*>(ui) + kUiMenuEventSource, &menuOpenCloseSink);
    } else {
        // Handing the game a null source would fault inside it; the credits reset is lost until
        // the next data-loaded message, which is the lesser harm.
        sfse_common::ReportMessage(
            "Taviro: the game's UI is not there yet; menu events are not watched");
    }
    RegisterSink(game::Call(offsets::kLoadGameEventSource), &loadGameSink);
    RegisterSink(game::Call(offsets::kExitVehicleEventSource), &exitVehicleSink);
    RegisterSink(game::Call(offsets::kActivateEventSource), &activateSink);
    log::Info("watching %sgame loads, vehicle exits and activations",
              ui != nullptr ? "the end credits' menu, " : "");
}

// What stopped the load: nothing in the game was changed, and the plugin does nothing this launch.
enum class LoadRefusal : std::uint8_t {
    None,
    NoGameModule,      // the game's executable module cannot be found
    CallSiteRefused,   // the call site holds what the plugin may not take
    NoTrampolineRoom,  // no free memory within a call's reach below the game
    CodeNotWritable,   // the system refused to make the game's code writable
};

struct [[nodiscard]] LoadOutcome {
    LoadRefusal refusal = LoadRefusal::None;
    sfse_common::CallSiteReading call{};  // the call site as the load found it
};

// Finds the game and takes its vehicle update call. The call is read before anything is written:
// it may be the game's own, ours from an earlier load, or another plugin's redirect to chain
// onto; anything else is refused.
LoadOutcome TakeOverTheGame() {
    const auto base = reinterpret_cast<std::uintptr_t>(GetModuleHandleA(nullptr));
    gameBase.store(base, std::memory_order_relaxed);
    if (base == 0) {
        return {LoadRefusal::NoGameModule};
    }
    const sfse_common::CallSiteReading call = ReadVehicleUpdateCall();
    if (call.Refused()) {
        return {LoadRefusal::CallSiteRefused, call};
    }
    if (sfse_common::branchTrampoline.Base() == nullptr &&
        !sfse_common::branchTrampoline.Create(base)) {
        return {LoadRefusal::NoTrampolineRoom, call};
    }
    if (TakeVehicleUpdateCall(call) == CallTaken::NotWritable) {
        return {LoadRefusal::CodeNotWritable, call};
    }
    return {LoadRefusal::None, call};
}

// Tells the player and the host why the load was refused. The refusal is the last thing this
// launch's log may say, so it goes to the file now.
void ReportRefusal(const LoadOutcome& outcome) {
    constexpr const char* kNoModule =
        "Installation error: Starfield.exe handle couldn't be acquired";
    const char* why = "";
    switch (outcome.refusal) {
        case LoadRefusal::None:
            return;
        case LoadRefusal::NoGameModule:
            log::Error("%s", kNoModule);
            why = "the game's executable module cannot be found";
            break;
        case LoadRefusal::CallSiteRefused: {
            const RefusedCallWords words = DescribeRefusedCall(outcome.call);
            sfse_common::ReportMessage("%s", words.report.c_str());
            why = words.reason;
            break;
        }
        case LoadRefusal::NoTrampolineRoom:
            why = "no room for the trampoline below the game";
            break;
        case LoadRefusal::CodeNotWritable:
            why = "the game's code could not be made writable";
            break;
    }
    log::Error(
        "the load is refused (%s); nothing in the game was changed, and the plugin does "
        "nothing this launch",
        why);
    log::Flush();
    if (outcome.refusal == LoadRefusal::NoGameModule) {
        ShowErrorMessage(kNoModule);
    }
}

// The log's last line as the game ends: the trace has a line only where something changed, so
// its reader needs to know how many frames went by after the last one.
void ClosingWords(char* text, std::size_t size) {
    std::snprintf(text, size,
                  "the game is ending; the last vehicle update the hook saw was frame=%llu",
                  static_cast<unsigned long long>(HookCallCount()));
}

}  // namespace

std::string FormatPluginVersion(const host::PluginVersionData& record) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&record);
    return std::to_string(bytes[7]) + "." + std::to_string(bytes[6]);
}

void ShowErrorMessage(const std::string& text) {
    const std::string title = std::string(SFSEPlugin_Version.name) + " v" + FormatPluginVersion();
    MessageBoxA(nullptr, text.c_str(), title.c_str(), 0);
}

void HOST_CALL OnHostMessage(host::Message* message) {
    if (message == nullptr || message->type != host::kMessageDataLoaded) {
        return;
    }
    log::Info("the game's data has loaded");
    RecheckVehicleUpdateCall();
    // The redirect is live already: the pointers are stored under the state's lock, so a hook
    // call on a game thread never sees them half-written; the settings are one word each.
    ReloadSettingsAndPointers();
    RegisterSinks();
    // From here on the game runs and the hook may have things to say: a thread of its own
    // writes them, never the game's threads.
    log::StartWriter();
    // And the player may edit the settings while playing: another thread of its own looks.
    StartWatchingSettings();
}

}  // namespace taviro

extern "C" bool HOST_CALL SFSEPlugin_Load(const taviro::host::LoadInterface* sfse) {
    using namespace taviro;
    pluginHandle = sfse->GetPluginHandle();
    log::Open(log::GameLogFolders());
    log::Info("%s %d.%d.%d (%s), built for Starfield runtime 1.14.74", TAVIRO_NAME,
              TAVIRO_VERSION_MAJOR, TAVIRO_VERSION_MINOR, TAVIRO_VERSION_PATCH,
              TAVIRO_DISPLAY_NAME);

    const LoadOutcome outcome = TakeOverTheGame();
    if (outcome.refusal != LoadRefusal::None) {
        ReportRefusal(outcome);
        return false;
    }
    log::SetClosingLine(&ClosingWords);

    auto* messaging =
        static_cast<host::MessagingInterface*>(sfse->QueryInterface(host::kMessagingInterfaceId));
    if (messaging == nullptr) {
        // The redirect stands and the hook is harmless without settings or pointers: it lets
        // the game run with the handbrake released until someone refreshes them, which without
        // messages never happens.
        sfse_common::ReportMessage(
            "Taviro: the host has no messaging interface; settings and events are off");
        log::Flush();
        return true;
    }
    messaging->RegisterListener(pluginHandle, host::kHostSenderName, &OnHostMessage);
    log::Flush();
    return true;
}
