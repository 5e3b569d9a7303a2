#include "game/FormLookup.h"

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>

#include "game/GameOffsets.h"
#include "util/AsciiCase.h"
#include "util/HexText.h"

namespace taviro {

namespace {

// The game's data-file registry and its records (runtime 1.14.74).
struct FileList {
    std::ptrdiff_t count;  // u32; the record-pointer array follows 8 bytes further on
    DataFileKind kind;
};
constexpr std::array<FileList, 3> kFileLists = {{
    {0x1548, DataFileKind::Full},
    {0x1558, DataFileKind::Small},
    {0x1568, DataFileKind::Medium},
}};
constexpr std::ptrdiff_t kListArrayDelta = 8;
constexpr std::ptrdiff_t kRecordName = 0x38;  // inline, NUL-terminated
constexpr std::ptrdiff_t kRecordCompileIndex = 0x218;
constexpr std::ptrdiff_t kRecordMediumIndex = 0x219;
constexpr std::ptrdiff_t kRecordSmallIndex = 0x21A;

constexpr std::string_view kBaseFile = "Starfield.esm";
constexpr std::size_t kPaddedWidth = 5;
constexpr std::size_t kMaxLocalDigits = 6;
constexpr std::size_t kMaxBaseFileDigits = 8;

// Compares in place rather than on lower-cased copies: no allocation, and the record's name is
// read no further than its terminator or the first mismatch.
bool RecordNameMatches(const void* record, std::string_view lowerName) {
    for (std::size_t i = 0; i < lowerName.size(); ++i) {
        const char c = game::Read<char>(record, kRecordName + static_cast<std::ptrdiff_t>(i));
        if (c == '\0' || LowerAscii(c) != lowerName[i]) {
            return false;
        }
    }
    return game::Read<char>(record, kRecordName + static_cast<std::ptrdiff_t>(lowerName.size())) ==
           '\0';
}

std::uint32_t ComposeFormId(const void* record, DataFileKind kind, std::uint32_t local) {
    const std::uint32_t compileIndex = game::Read<std::uint8_t>(record, kRecordCompileIndex);
    // Added, not OR-ed, and the local value is not masked: a value wider than the file's own
    // field carries into the fields above it, and the sum wraps, as in the game.
    std::uint32_t id = (compileIndex << 24) + local;
    if (kind == DataFileKind::Medium) {
        id += std::uint32_t{game::Read<std::uint8_t>(record, kRecordMediumIndex)} << 16;
    } else {
        id += std::uint32_t{game::Read<std::uint16_t>(record, kRecordSmallIndex)} << 12;
    }
    return id;
}

}  // namespace

// By value: the text is padded in place, as the lookup's callers expect of it.
void* LookupFormInFile(std::string formIdText,  // NOLINT(performance-unnecessary-value-param)
                       std::string fileName) noexcept {
    if (formIdText.empty()) {
        return nullptr;
    }
    if (fileName.empty()) {
        fileName = kBaseFile;
    }
    // Case matters here although the file search ignores it: "starfield.esm" is found, but
    // keeps the 6-digit limit of every other file.
    const bool baseFile = fileName == kBaseFile;

    // Short texts are right-aligned in five zero digits. Done in a fixed buffer so the routine
    // cannot fail on memory; the text is what the conversion reads either way.
    std::array<char, kPaddedWidth> padded{};
    std::string_view text = formIdText;
    if (text.size() < kMaxLocalDigits) {
        const std::size_t zeros = kPaddedWidth - text.size();
        padded.fill('0');
        text.copy(padded.data() + zeros, text.size());
        text = std::string_view(padded.data(), padded.size());
    } else if (text.size() > (baseFile ? kMaxBaseFileDigits : kMaxLocalDigits)) {
        return nullptr;
    }

    DataFileKind kind = DataFileKind::None;
    const void* record = FindDataFile(std::move(fileName), kind);
    if (record == nullptr) {
        return nullptr;
    }
    const std::optional<std::uint32_t> local = ParseHex32(text);
    if (!local) {
        return nullptr;
    }
    const std::uint32_t formId = ComposeFormId(record, kind, *local);
    if (formId == 0) {
        return nullptr;
    }
    return game::Call(offsets::kLookupFormById, formId);
}

const void* FindDataFile(std::string fileName, DataFileKind& kind) noexcept {
    const void* registry = game::Read(offsets::kDataFileRegistryGlobal);
    if (registry == nullptr) {
        return nullptr;
    }
    for (char& c : fileName) {
        c = LowerAscii(c);
    }
    for (const FileList& list : kFileLists) {
        const auto count = game::Read<std::uint32_t>(registry, list.count);
        if (count == 0) {
            continue;
        }
        const auto* slots = game::Read<const void* const*>(registry, list.count + kListArrayDelta);
        for (std::uint32_t i = 0; i < count; ++i) {
            const void* record = game::Read<const void*>(
                slots, static_cast<std::ptrdiff_t>(i) * std::ptrdiff_t{sizeof(void*)});
            if (record != nullptr && RecordNameMatches(record, fileName)) {
                kind = list.kind;
                return record;
            }
        }
    }
    return nullptr;
}

}  // namespace taviro
