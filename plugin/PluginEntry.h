// What the host sees of the plugin, and what the plugin does when the host calls it.
#pragma once

#include <string>

#include "HostInterface.h"

#if defined(_WIN32)
#define TAVIRO_EXPORT  // the module definition file names the exports
#else
#define TAVIRO_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {
TAVIRO_EXPORT extern const taviro::host::PluginVersionData SFSEPlugin_Version;
TAVIRO_EXPORT bool HOST_CALL SFSEPlugin_Load(const taviro::host::LoadInterface* sfse);
}

namespace taviro {

void HOST_CALL OnHostMessage(host::Message* message);

// Shows a modal box (no owner, OK only) titled with the plugin's name and version.
void ShowErrorMessage(const std::string& text);

// "<major>.<minor>" from bytes 7 and 6 of the version record.
std::string FormatPluginVersion(const host::PluginVersionData& record = SFSEPlugin_Version);

}  // namespace taviro
