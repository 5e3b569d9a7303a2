// Form lookup with arbitrary form-ID texts and file names against a small load order: it must
// never crash, never ask the game for a text it should reject, and ask for the right ID when the
// text is a plain short number.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "DataFiles.h"
#include "GameImage.h"
#include "GameRuntime.h"
#include "game/FormLookup.h"
#include "game/GameMemory.h"

namespace {

using testbed::DataFileList;

// Each loaded name, lower-cased, with the part of the full ID its file contributes.
struct LoadedFile {
    std::string_view lowerName;
    std::uint32_t idBase;
};
constexpr std::array<LoadedFile, 5> kLoaded = {{
    {"starfield.esm", 0x00000000},
    {"sfbgs004.esm", 0x05000000},
    {"dup.esm", 0x10000000},  // also in the small list; the full list's record wins
    {"tiny.esm", 0xFE123000},
    {"mid.esm", 0xFD070000},
}};
constexpr std::array<std::string_view, 7> kNames = {
    "Starfield.esm", "starfield.esm", "SFBGS004.esm", "Dup.esm", "Tiny.esm", "Mid.esm", ""};

std::map<std::uint32_t, void*>& Forms() {
    static std::map<std::uint32_t, void*> forms;
    return forms;
}

bool SetUpGame() {
    testbed::Game::Get();
    taviro::gameBase.store(reinterpret_cast<std::uintptr_t>(testbed::GameImage::Get().Base()));
    testbed::DataFiles& files = testbed::DataFiles::Get();
    files.Reset();
    files.AddFile(DataFileList::Full, "Starfield.esm", 0x00);
    files.AddNullSlot(DataFileList::Full);
    files.AddFile(DataFileList::Full, "SFBGS004.esm", 0x05);
    files.AddFile(DataFileList::Full, "Dup.esm", 0x10);
    files.AddFile(DataFileList::Small, "Dup.esm", 0x20, 0, 0x003);
    files.AddFile(DataFileList::Small, "Tiny.esm", 0xFE, 0, 0x123);
    files.AddNullSlot(DataFileList::Medium);
    files.AddFile(DataFileList::Medium, "Mid.esm", 0xFD, 0x07);
    for (const std::uint32_t id :
         {0x00000017u, 0x05000017u, 0x10000017u, 0xFE123017u, 0xFD070017u, 0x00ABCDEFu}) {
        Forms()[id] = files.PlaceForm(id);
    }
    return true;
}

std::string LowerAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::optional<std::uint32_t> IdBaseOf(const std::string& fileName) {
    const std::string lower = LowerAscii(fileName.empty() ? "Starfield.esm" : fileName);
    for (const LoadedFile& file : kLoaded) {
        if (lower == file.lowerName) {
            return file.idBase;
        }
    }
    return std::nullopt;
}

[[noreturn]] void Fail() {
    __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool ready = SetUpGame();
    (void)ready;
    testbed::DataFiles& files = testbed::DataFiles::Get();

    FuzzedDataProvider input(data, size);
    std::string fileName;
    if (input.ConsumeBool()) {
        fileName = kNames[input.ConsumeIntegralInRange<std::size_t>(0, kNames.size() - 1)];
        // Flip the case of some letters: the search must not care.
        const auto flips = input.ConsumeIntegral<std::uint16_t>();
        for (std::size_t i = 0; i < fileName.size() && i < 16; ++i) {
            const char c = fileName[i];
            if (((flips >> i) & 1u) != 0 && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) {
                fileName[i] = static_cast<char>(c ^ 0x20);
            }
        }
    } else {
        fileName = input.ConsumeRandomLengthString(48);
    }
    const std::string text = input.ConsumeRemainingBytesAsString();

    const std::uint64_t callsBefore = files.LookupCalls();
    void* const form = taviro::LookupFormInFile(text, fileName);
    const std::uint64_t calls = files.LookupCalls() - callsBefore;
    const std::uint32_t askedId = files.LastLookupId();

    const bool baseFile = fileName.empty() || fileName == "Starfield.esm";
    const std::optional<std::uint32_t> idBase = IdBaseOf(fileName);
    const bool mayAsk = !text.empty() && text.size() <= (baseFile ? 8u : 6u) && idBase;
    if (calls > 1 || (calls == 1 && (!mayAsk || askedId == 0))) {
        Fail();
    }
    if (form != nullptr) {
        const auto placed = Forms().find(askedId);
        if (calls != 1 || placed == Forms().end() || placed->second != form) {
            Fail();
        }
    }
    // A short plain number, padded with zeros, always reads; the ID is the file's part plus it.
    bool plainNumber = mayAsk && text.size() <= 5;
    for (const char c : text) {
        plainNumber = plainNumber && IsHexDigit(c);
    }
    if (plainNumber) {
        const auto id =
            *idBase + static_cast<std::uint32_t>(std::strtoul(text.c_str(), nullptr, 16));
        if (id != 0 && (calls != 1 || askedId != id)) {
            Fail();
        }
        if (id == 0 && calls != 0) {
            Fail();
        }
    }
    return 0;
}
