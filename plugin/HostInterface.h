// The host's records, as far as the plugin reads them. The host is a Windows x64 program, so its
// functions use the same calling convention as the game's.
#pragma once

#include <cstddef>
#include <cstdint>

#include "game/GameMemory.h"

#define HOST_CALL GAME_CALL

namespace taviro::host {

inline constexpr std::uint32_t kMessagingInterfaceId = 1;
inline constexpr std::uint32_t kMessageDataLoaded = 2;
inline constexpr const char* kHostSenderName = "SFSE";

struct Message {
    const char* sender;
    std::uint32_t type;
    std::uint32_t dataLength;
    void* data;
};
static_assert(offsetof(Message, type) == 8);

using MessageCallback = void(HOST_CALL*)(Message* message);

struct MessagingInterface {
    std::uint32_t interfaceVersion;
    bool(HOST_CALL* RegisterListener)(std::uint32_t pluginHandle, const char* sender,
                                      MessageCallback callback);
    bool(HOST_CALL* Dispatch)(std::uint32_t pluginHandle, std::uint32_t type, void* data,
                              std::uint32_t dataLength, const char* receiver);
};
static_assert(offsetof(MessagingInterface, RegisterListener) == 8);

struct LoadInterface {
    std::uint32_t hostVersion;
    std::uint32_t runtimeVersion;
    std::uint32_t reserved0;
    std::uint32_t reserved1;
    void*(HOST_CALL* QueryInterface)(std::uint32_t id);
    std::uint32_t(HOST_CALL* GetPluginHandle)();
};
static_assert(offsetof(LoadInterface, QueryInterface) == 16);
static_assert(offsetof(LoadInterface, GetPluginHandle) == 24);

// The record the host reads from the exported SFSEPlugin_Version to decide whether we fit.
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
static_assert(offsetof(PluginVersionData, name) == 8);
static_assert(offsetof(PluginVersionData, author) == 264);
static_assert(offsetof(PluginVersionData, addressIndependence) == 520);
static_assert(offsetof(PluginVersionData, structureIndependence) == 524);
static_assert(offsetof(PluginVersionData, compatibleVersions) == 528);
static_assert(offsetof(PluginVersionData, seVersionRequired) == 592);
static_assert(offsetof(PluginVersionData, reserved1) == 596);
static_assert(offsetof(PluginVersionData, reserved2) == 600);

// major.minor.build.sub packed as the host and the game pack their versions.
constexpr std::uint32_t MakeVersion(std::uint32_t major, std::uint32_t minor, std::uint32_t build,
                                    std::uint32_t sub = 0) {
    return (major << 24) | (minor << 16) | ((build & 0xFFF) << 4) | (sub & 0xF);
}

inline constexpr std::uint32_t kRuntime_1_14_74 = MakeVersion(1, 14, 74);
static_assert(kRuntime_1_14_74 == 0x010E04A0);

}  // namespace taviro::host
