// The script-extender host as a plugin meets it: loads the plugin library once the game is in
// place, reads its version record and refuses a plugin that does not list runtime 1.14.74, hands
// it the load interface (plugin handle, interface query) and the messaging interface, calls its
// load entry and delivers messages to the listeners it registered.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "GameLayout.h"

namespace testbed {

class PluginHost {
public:
    static constexpr std::uint32_t kRuntimeVersion = 0x010E04A0;  // 1.14.74
    static constexpr std::uint32_t kPluginHandle = 7;

    struct Options {
        bool provideMessaging = true;
    };

    // One host per process, as in the game.
    static PluginHost& Get();

    void SetOptions(Options options) { m_options = options; }

    // Loads the library and checks its version record. False, with Error() telling why, when
    // the library or its exports are missing or the record does not fit this runtime.
    bool Load(const std::string& path);

    // Calls the plugin's load entry.
    bool CallLoadEntry();

    // Another plugin beside the first, as a player's setup holds: loaded and checked the same
    // way, its load entry called when the caller says (before or after the first's), and
    // its exports found by name.
    bool LoadOther(const std::string& path);
    bool CallOtherLoadEntry();
    void* OtherExport(const char* name) const;
    // How often the other plugin's hook has run, as its export OtherPlugin_HookCalls says.
    std::uint64_t OtherHookCalls() const;
    // The two manners of the other plugin the project builds for the testbed.
    static std::string ChainingPluginPath();
    static std::string OverwritingPluginPath();

    // Delivers a message from sender "SFSE" to every listener registered for it.
    void DeliverMessage(std::uint32_t type);

    // The load interface record the host hands a load entry, for a load entry linked into the
    // program itself rather than loaded from a library.
    const void* LoadInterfaceRecord() const;
    // The callbacks registered as message listeners, in order.
    std::vector<const void*> Listeners() const;
    // Forgets every call and listener, as a fresh process has none.
    void Reset();

    const std::string& Error() const { return m_error; }
    std::string PluginName() const;
    // Whether `address` lies in the loaded plugin's image.
    bool IsInPlugin(const void* address) const;

    // What the plugin asked of the host, in order, e.g. "QueryInterface(1)".
    std::vector<std::string> Calls() const;

    static std::string DefaultPluginPath();

private:
    struct Library {
        void* handle = nullptr;
        const std::uint8_t* record = nullptr;
        void* loadEntry = nullptr;
    };

    PluginHost() = default;
    bool Open(const std::string& path, Library& library);
    bool CallLoadEntry(const Library& library);

    Options m_options;
    Library m_plugin;
    Library m_other;
    std::string m_error;
};

#ifdef _WIN32
// A path from the build as Wine's loader takes it: a Unix path reaches it through its Z: drive.
std::string WindowsPath(std::string path);
#endif

}  // namespace testbed
