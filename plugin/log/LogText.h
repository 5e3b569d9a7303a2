// Text on its way into the log: one record per line, valid UTF-8, and nothing a reader or a
// terminal takes for a line break or a command. What a settings file, the system or another
// plugin hands over may hold anything; the log shows it escaped, so a helper still sees what was
// there.
#pragma once

#include <cstddef>
#include <string_view>

namespace taviro::log {

// `text` with every character that is not printable written visibly: a byte that is not UTF-8
// and a C0 or DEL control as \xNN; a C1 control, a line or paragraph separator, a direction
// mark or override and a byte-order mark as \uNNNN. The result, terminated, goes to `out`; when
// it does not fit, it is cut after a whole character or escape and ends in "...". The length
// written, without the terminator.
std::size_t EscapeText(std::string_view text, char* out, std::size_t size);

// How many of the first `limit` bytes of `text` make whole characters: where to cut it.
std::size_t WholeCharacters(std::string_view text, std::size_t limit);

}  // namespace taviro::log
