// The script-extender host as a plugin meets it: loads the plugin library once the game is in
// place, reads its version record and refuses a plugin that does not list runtime 1.14.74, hands
// it the load interface (plugin handle, interface query) and the messaging interface, calls its
// load entry and delivers messages to the listeners it registered.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "testbed/GameLayout.h"

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

    void SetOptions(Options options) { options_ = options; }

    // Loads the library and checks its version record. False, with Error() telling why, when
    // the library or its exports are missing or the record does not fit this runtime.
    bool Load(const std::string& path);

    // Calls the plugin's load entry.
    bool CallLoadEntry();

    // Delivers a message from sender "SFSE" to every listener registered for it.
    void DeliverMessage(std::uint32_t type);

    const std::string& Error() const { return error_; }
    const std::uint8_t* VersionRecord() const { return record_; }
    std::string PluginName() const;
    // Whether `address` lies in the loaded plugin's image.
    bool IsInPlugin(const void* address) const;

    // What the plugin asked of the host, in order, e.g. "QueryInterface(1)".
    std::vector<std::string> Calls() const;
    void ClearCalls();

    static std::string DefaultPluginPath();

private:
    PluginHost() = default;
    Options options_;
    void* library_ = nullptr;
    const std::uint8_t* record_ = nullptr;
    void* loadEntry_ = nullptr;
    std::string error_;
};

}  // namespace testbed
