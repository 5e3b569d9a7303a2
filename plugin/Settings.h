// The plugin's two settings, the handbrake hotkey and the logging switch, read from
// Data\SFSE\Plugins\Taviro.ini (created with defaults when missing) and then from the optional
// TaviroCustom.ini, whose values win.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace taviro {

// The virtual-key code an iHandbrakeHotkey text names: hexadecimal, with or without 0x, and
// only 1 to 254. Empty for anything else, which leaves the earlier setting in force.
std::optional<std::uint32_t> HotkeyFromText(std::string_view text);

// Re-reads both files and stores controlState.hotkeyCode and controlState.loggingEnabled.
// Takes no lock: a caller that runs while the hook may read the state holds StateMutex.
void LoadSettings();

}  // namespace taviro
