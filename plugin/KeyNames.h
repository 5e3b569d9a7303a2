// Names players give keys, and the Windows virtual-key codes behind them, so the log can tell a
// player who wrote iHandbrakeHotkey=G which code that key has.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace taviro {

// The code of a key named as players and keyboards name it ("G", "F1", "Space", "LShift",
// "Numpad0", "Mouse4"), ignoring letter case; empty for a name it does not know.
std::optional<std::uint8_t> KeyCodeByName(std::string_view name);

// The usual name of a virtual-key code, or null for a code without one.
const char* KeyName(std::uint32_t code);

}  // namespace taviro
