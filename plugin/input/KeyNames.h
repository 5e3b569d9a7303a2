// Names players give keys, and the Windows virtual-key codes behind them, so the log can tell a
// player who wrote iHandbrakeHotkey=G which code that key has.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace taviro {

// The code of a key named as players and keyboards name it ("G", "F1", "Space", "LShift",
// "Numpad0", "Mouse4"), ignoring letter case, or of a controller's button named as its maker or
// Windows' SDK names it ("LB", "D-pad Up", "Start", "VK_GAMEPAD_A"); empty for a name it does
// not know. A lone letter is the keyboard's.
[[nodiscard]] std::optional<std::uint8_t> KeyCodeByName(std::string_view name);

// The usual name of a virtual-key code, or null for a code without one. A controller's button is
// named as on an Xbox controller ("A", "LB", "D-pad Up"): gamepad::IsPadCode tells the two apart.
const char* KeyName(std::uint32_t code);

}  // namespace taviro
