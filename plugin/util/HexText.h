// Base-16 text to a 32-bit number, read the way the game's runtime library reads it, so that a
// hotkey or a form ID typed by a player means the same on every build of the plugin.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace taviro {

// Skips leading white space, takes an optional sign and an optional 0x/0X prefix, then reads hex
// digits in either case up to the first other character; the rest of the text is ignored. A
// minus sign negates in 32-bit unsigned arithmetic ("-1" is 0xFFFFFFFF).
//
// Empty when no digit was read (a prefix needs a digit after it) or when the digits do not fit in
// 32 bits, whatever the sign; `error`, when given, tells which.
enum class HexError { None, NoDigits, TooLarge };
[[nodiscard]] std::optional<std::uint32_t> ParseHex32(std::string_view text,
                                                      HexError* error = nullptr);

}  // namespace taviro
