// Another script-extender plugin that redirects the game's vehicle update call, as a player's
// setup may hold beside Taviro. It is built twice:
//  - ChainingPlugin keeps to the convention: it reads where the call leads before it writes its
//    own redirect and calls on to that from its hook, so whatever was there runs behind it;
//  - OverwritingPlugin calls the game's function straight from its hook, so whatever the call
//    led to before it is left out.
// Either counts its hook's runs for the testbed to read. Its load entry takes the call wherever
// it leads, so that the testbed can load it before or after Taviro. Like any plugin, it declares
// the host's records for itself; where the game keeps its code it reads from the testbed's game.
#include <atomic>
#include <cstdint>
#include <cstring>

#include "BranchTrampoline.h"
#include "GameLayout.h"
#include "Win32.h"

#define OTHER_PLUGIN_CALL TESTBED_GAME_CALL
#if defined(_WIN32)
#define OTHER_PLUGIN_EXPORT __declspec(dllexport)
#else
#define OTHER_PLUGIN_EXPORT __attribute__((visibility("default")))
#endif

namespace {

using testbed::layout::kVehicleUpdate;
using testbed::layout::kVehicleUpdateCallSite;

struct PluginVersionData {
    std::uint32_t dataVersion;
    std::uint32_t pluginVersion;
    char name[256];
    char author[256];
    std::uint32_t addressIndependence;
    std::uint32_t structureIndependence;
    std::uint32_t compatibleVersions[16];
    std::uint32_t seVersionRequired;
    std::uint32_t reserved1;
    std::uint32_t reserved2;
};
static_assert(sizeof(PluginVersionData) == 604);

struct LoadInterface {
    std::uint32_t hostVersion;
    std::uint32_t runtimeVersion;
    std::uint32_t reserved[2];
    void*(OTHER_PLUGIN_CALL* queryInterface)(std::uint32_t id);
    std::uint32_t(OTHER_PLUGIN_CALL* getPluginHandle)();
};

using VehicleUpdate = std::uint64_t(OTHER_PLUGIN_CALL*)(void* updateObject);

constinit sfse_common::BranchTrampoline trampoline;
constinit std::atomic<std::uintptr_t> callOn{0};
constinit std::atomic<std::uint64_t> hookCalls{0};

std::uint64_t OTHER_PLUGIN_CALL Hook(void* updateObject) {
    hookCalls.fetch_add(1, std::memory_order_relaxed);
    return reinterpret_cast<VehicleUpdate>(callOn.load(std::memory_order_acquire))(updateObject);
}

}  // namespace

extern "C" {

OTHER_PLUGIN_EXPORT extern const PluginVersionData SFSEPlugin_Version;
const PluginVersionData SFSEPlugin_Version = {
    1, 0x01000000, OTHER_PLUGIN_NAME, "the testbed", 0, 0, {0x010E04A0}, 0, 0, 0};

OTHER_PLUGIN_EXPORT bool OTHER_PLUGIN_CALL SFSEPlugin_Load(const LoadInterface* host) {
    host->getPluginHandle();
    const auto base = reinterpret_cast<std::uintptr_t>(GetModuleHandleA(nullptr));
    const std::uintptr_t site = base + kVehicleUpdateCallSite;
    sfse_common::RelativeCall call;
    std::memcpy(&call, reinterpret_cast<const void*>(site), sizeof call);
    if (base == 0 || !call.IsCall() || !trampoline.Create(base)) {
        return false;
    }
    // Recorded before the redirect is written: the game may run the hook at once.
    callOn.store(OTHER_PLUGIN_CHAINS ? call.Target(site) : base + kVehicleUpdate,
                 std::memory_order_release);
    return trampoline.WriteRelCall(site, reinterpret_cast<std::uintptr_t>(&Hook)) != nullptr;
}

// How often the hook has run since the plugin loaded.
OTHER_PLUGIN_EXPORT std::uint64_t OTHER_PLUGIN_CALL OtherPlugin_HookCalls() {
    return hookCalls.load(std::memory_order_relaxed);
}

}  // extern "C"
