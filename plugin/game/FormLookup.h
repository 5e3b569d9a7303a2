// Finds a game form from a data-file name and a form ID local to that file, through the game's
// own lists of loaded files and its own form lookup. Reads game memory only; every failure ends
// in a null result, never a throw.
#pragma once

#include <cstdint>
#include <string>

namespace taviro {

// Which of the game's loaded-file lists held a file; the lists are searched in this order.
enum class DataFileKind : std::int32_t {
    None = 0,
    Full = 1,
    Small = 2,
    Medium = 3,
};

// `formIdText` is the form's ID inside its file, in hexadecimal: up to 6 characters, or 8 for
// "Starfield.esm". An empty `fileName` means "Starfield.esm". Null when the text is empty or too
// long, the file is not loaded, the text has no hex number at its start once zero-padded to five
// characters, the composed ID is 0, or the game has no form with that ID.
[[nodiscard]] void* LookupFormInFile(std::string formIdText, std::string fileName) noexcept;

// The game's record of the loaded file `fileName` (matched ignoring ASCII case only), or null.
// `kind` is written only when a record is found, so the caller sets it to None first.
[[nodiscard]] const void* FindDataFile(std::string fileName, DataFileKind& kind) noexcept;

}  // namespace taviro
