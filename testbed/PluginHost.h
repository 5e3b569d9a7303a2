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
    PluginHost() = default;
    Options m_options;
    void* m_library = nullptr;
    const std::uint8_t* m_record = nullptr;
    void* m_loadEntry = nullptr;
    std::string m_error;
};

}  // namespace testbed
