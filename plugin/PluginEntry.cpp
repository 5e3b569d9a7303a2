// The host binding: the version record, the load entry and the message listener.
#include "plugin/PluginEntry.h"

#include <cstring>
#include <mutex>

#include "Win32.h"
#include "plugin/ControlState.h"
#include "plugin/EventSinks.h"
#include "plugin/FormLookup.h"
#include "plugin/GameAddresses.h"
#include "plugin/GameOffsets.h"
#include "plugin/Settings.h"
#include "plugin/VehicleUpdateHook.h"
#include "sfse_common/BranchTrampoline.h"

extern "C" const taviro::host::PluginVersionData SFSEPlugin_Version = {
    1,
    taviro::host::MakeVersion(1, 1, 0),
    "Taviro - SFSE Plugin by Orrimel",
    "Orrimel",
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
    ~TrampolineRelease() { g_branchTrampoline.Release(); }
} trampolineRelease;

using RegisterSinkFn = game::Function<void, void*, void*>;
using EventSourceFn = game::Function<void*>;

// One lazily filled slot per event type, all holding the game's one registration function.
template <class Event>
void RegisterSink(void* source, BSTEventSink<Event>* sink) {
    static const RegisterSinkFn registerSink =
        game::FunctionAt<void, void*, void*>(offsets::kRegisterSink);
    registerSink(source, sink);
}

void* EventSource(std::uintptr_t sourceFunction) {
    return game::Call<void*>(sourceFunction);
}

void RegisterSinks() {
    void* ui = game::ReadGlobal<void*>(offsets::kUiSingleton);
    if (ui != nullptr) {
        RegisterSink(static_cast<std::uint8_t*>(ui) + 0x10, &menuOpenCloseSink);
    } else {
        // Handing the game a null source would fault inside it; the credits reset is lost until
        // the next data-loaded message, which is the lesser harm.
        ReportMessage("Taviro: the game's UI is not there yet; menu events are not watched");
    }
    RegisterSink(EventSource(offsets::kLoadGameEventSource), &loadGameSink);
    RegisterSink(EventSource(offsets::kExitVehicleEventSource), &exitVehicleSink);
    RegisterSink(EventSource(offsets::kActivateEventSource), &activateSink);
}

// The call we redirect must be the game's own call of its vehicle update, or our own redirect
// from an earlier load. Anything else means another game build or another plugin's redirect,
// and writing over it would corrupt the game.
bool CallSiteIsExpected(std::uintptr_t site) {
    std::uint8_t bytes[5];
    std::memcpy(bytes, reinterpret_cast<const void*>(site), sizeof bytes);
    if (bytes[0] != 0xE8) {
        return false;
    }
    std::int32_t displacement = 0;
    std::memcpy(&displacement, bytes + 1, sizeof displacement);
    const std::uintptr_t target =
        site + 5 + static_cast<std::uintptr_t>(static_cast<std::intptr_t>(displacement));
    if (target == game::Address(offsets::kVehicleUpdate)) {
        return true;
    }
    // Our own slot: inside the block we handed out, jumping to the hook.
    const auto block = reinterpret_cast<std::uintptr_t>(g_branchTrampoline.m_base);
    if (block == 0 || target < block ||
        target + BranchTrampoline::kSlotSize > block + g_branchTrampoline.m_used) {
        return false;
    }
    std::uint64_t jumpTarget = 0;
    std::memcpy(&jumpTarget, reinterpret_cast<const std::uint8_t*>(target) + 6, sizeof jumpTarget);
    return jumpTarget == reinterpret_cast<std::uintptr_t>(&VehicleUpdateHook);
}

}  // namespace

std::string FormatPluginVersion(const host::PluginVersionData& record) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&record);
    return std::to_string(bytes[7]) + "." + std::to_string(bytes[6]);
}

void ShowErrorMessage(std::string text) {
    const std::string title = std::string(SFSEPlugin_Version.name) + " v" + FormatPluginVersion();
    MessageBoxA(nullptr, text.c_str(), title.c_str(), 0);
}

void HOST_CALL OnHostMessage(host::Message* message) {
    if (message == nullptr || message->type != host::kMessageDataLoaded) {
        return;
    }
    {
        // The redirect is live already: a hook call on a game thread must not see the settings
        // or the pointers half-written.
        std::lock_guard lock(StateMutex);
        LoadSettings();
        RefreshGamePointers();
    }
    RegisterSinks();
}

}  // namespace taviro

extern "C" bool HOST_CALL SFSEPlugin_Load(const taviro::host::LoadInterface* sfse) {
    using namespace taviro;
    pluginHandle = sfse->GetPluginHandle();

    const auto base = reinterpret_cast<std::uintptr_t>(GetModuleHandleA(nullptr));
    gameBase.store(base);
    if (base == 0) {
        ShowErrorMessage("Installation error: Starfield.exe handle couldn't be acquired");
        return false;
    }

    const std::uintptr_t site = game::Address(offsets::kVehicleUpdateCallSite);
    if (!CallSiteIsExpected(site)) {
        ReportMessage(
            "Taviro: the code at Starfield.exe+%X is not the vehicle update call this "
            "plugin was built for (another game version, or another plugin changed it); "
            "nothing was changed",
            static_cast<unsigned>(offsets::kVehicleUpdateCallSite));
        return false;
    }

    if (g_branchTrampoline.m_base == nullptr && !g_branchTrampoline.Create(base)) {
        return false;
    }
    if (!g_branchTrampoline.WriteRelCall(site,
                                         reinterpret_cast<std::uintptr_t>(&VehicleUpdateHook))) {
        return false;  // the code could not be made writable; reported, nothing written
    }

    auto* messaging =
        static_cast<host::MessagingInterface*>(sfse->QueryInterface(host::kMessagingInterfaceId));
    if (messaging == nullptr) {
        // The redirect stands and the hook is harmless without settings or pointers: it takes
        // its default way out until someone refreshes them, which without messages never happens.
        ReportMessage("Taviro: the host has no messaging interface; settings and events are off");
        return true;
    }
    messaging->RegisterListener(pluginHandle, host::kHostSenderName, &OnHostMessage);
    return true;
}
