// Arbitrary bytes as an INI file for the private-profile stand-ins: reads and lists of names must
// stay inside the caller's buffer, and a write must read back and leave every other key as it read
// before. Bytes that start with a UTF-16 byte-order mark are taken as UTF-16 text.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "Win32.h"

namespace {

[[noreturn]] void Fail() {
    __builtin_trap();
}

std::string scratchFolder;

// Every run writes the file and the stand-in syncs it to disk before its rename: on a RAM-backed
// folder that costs nothing, and the target makes millions of runs instead of thousands.
std::string ScratchParent() {
    struct stat shm {};
    if (stat("/dev/shm", &shm) == 0 && S_ISDIR(shm.st_mode) && access("/dev/shm", W_OK) == 0) {
        return "/dev/shm";
    }
    return std::filesystem::temp_directory_path().string();
}

const std::string& FilePath() {
    static const std::string path = [] {
        std::string folder = ScratchParent() + "/taviro-fuzz-profile-XXXXXX";
        if (mkdtemp(folder.data()) == nullptr) {
            Fail();
        }
        scratchFolder = folder;
        std::atexit([] {
            std::remove((scratchFolder + "/fuzz.ini").c_str());
            rmdir(scratchFolder.c_str());
        });
        return scratchFolder + "/fuzz.ini";
    }();
    return path;
}

// Reads into a buffer of exactly `size` bytes, so that ASan sees any write past it. The plugin's
// own size is read through one buffer kept for all runs: a fresh 10,000 bytes each time would
// cost more than the read itself.
std::string Read(const std::string& section, const std::string& key, DWORD size) {
    static std::vector<char> pluginSized(10000);
    std::vector<char> small(size == pluginSized.size() ? 0 : size);
    std::vector<char>& buffer = size == pluginSized.size() ? pluginSized : small;
    std::fill(buffer.begin(), buffer.end(), '\x7f');
    const DWORD count = GetPrivateProfileStringA(section.c_str(), key.c_str(), "\x01",
                                                 buffer.data(), size, FilePath().c_str());
    if (count >= size || buffer[count] != '\0') {
        Fail();
    }
    return std::string(buffer.data(), count);
}

// A list of section or key names (no key, or no section, asked for) stays inside the buffer too,
// and ends in a zero where its count says; when it fits, in two.
void List(const char* section, DWORD size) {
    std::vector<char> buffer(size, '\x7f');
    const DWORD count =
        GetPrivateProfileStringA(section, nullptr, "\x01", buffer.data(), size, FilePath().c_str());
    if (count >= size || buffer[count] != '\0') {
        Fail();
    }
    const bool cut = size >= 2 && count == size - 2;
    if (!cut && count > 0 && buffer[count - 1] != '\0') {
        Fail();
    }
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool HasAny(const std::string& text, const char* characters) {
    return text.find_first_of(characters) != std::string::npos;
}

std::string Trim(const std::string& text) {
    std::size_t first = 0;
    std::size_t last = text.size();
    while (first < last && IsBlank(text[first])) {
        ++first;
    }
    while (last > first && IsBlank(text[last - 1])) {
        --last;
    }
    return text.substr(first, last - first);
}

bool SameNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

// Texts the one-line "key=value" form can carry unchanged: nothing that ends a line, no ']' in a
// section name, no '=' in a key nor a key that reads as a header or comment, and no value that
// loses blanks or quotes on the way back.
bool Representable(const std::string& section, const std::string& key, const std::string& value) {
    const std::string trimmedKey = Trim(key);
    const bool quoted = value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                        value.back() == value.front();
    return !HasAny(section, "\r\n]") && !HasAny(key, "\r\n=") && !HasAny(value, "\r\n") &&
           !trimmedKey.empty() && trimmedKey.front() != '[' && trimmedKey.front() != ';' &&
           Trim(value) == value && !quoted;
}

// Whether `text` is well-formed UTF-8, which is what a UTF-16 file takes and gives back unchanged:
// no overlong forms, no surrogates, nothing past U+10FFFF.
bool IsUtf8(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80                    ? 1
                                   : lead >= 0xC2 && lead <= 0xDF ? 2
                                   : lead >= 0xE0 && lead <= 0xEF ? 3
                                   : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                                  : 0;
        if (length == 0 || text.size() - i < length) {
            return false;
        }
        // The second byte's range is what rules out the overlong, surrogate and too large forms.
        const unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
        const unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
        for (std::size_t j = 1; j < length; ++j) {
            const auto next = static_cast<unsigned char>(text[i + j]);
            if (j == 1 ? next < low || next > high : (next & 0xC0) != 0x80) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

// The text as a UTF-16 file with its mark, one code unit a byte, so that the dictionary's names
// meet entries in UTF-16 files too.
std::string Widened(const std::string& text, bool bigEndian) {
    std::string wide = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (const char c : text) {
        wide += bigEndian ? '\0' : c;
        wide += bigEndian ? c : '\0';
    }
    return wide;
}

// Mostly names the dictionary also puts into files, so that lookups and writes meet entries.
std::string Name(FuzzedDataProvider& input, const std::vector<const char*>& vocabulary) {
    const auto pick = input.ConsumeIntegralInRange<std::size_t>(0, vocabulary.size());
    if (pick < vocabulary.size()) {
        return vocabulary[pick];
    }
    // c_str() is what the platform sees, so a name ends at its first zero byte.
    return input.ConsumeRandomLengthString(16).c_str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const std::vector<const char*> sections{"Settings", "SETTINGS", " settings ", "Other", ""};
    const std::vector<const char*> keys{"bLogging", "BLOGGING", "iHandbrakeHotkey", " k ", "k"};
    const std::string section = Name(input, sections);
    const std::string key = Name(input, keys);
    const std::string otherKey = Name(input, keys);
    const std::string value = input.ConsumeRandomLengthString(16).c_str();
    const auto bufferSize = input.ConsumeIntegralInRange<DWORD>(1, 64);
    const auto form = input.ConsumeIntegralInRange<int>(0, 3);  // as it is, or widened
    std::string file = input.ConsumeRemainingBytesAsString();
    if (form >= 2) {
        file = Widened(file, form == 3);
    }

    FILE* out = std::fopen(FilePath().c_str(), "wb");
    if (out == nullptr || std::fwrite(file.data(), 1, file.size(), out) != file.size()) {
        Fail();
    }
    std::fclose(out);

    Read(section, key, bufferSize);
    List(section.c_str(), bufferSize);
    List(nullptr, bufferSize);
    const std::string otherBefore = Read(section, otherKey, 10000);

    if (!Representable(section, key, value)) {
        return 0;
    }
    const bool utf16 = file.starts_with("\xFF\xFE") || file.starts_with("\xFE\xFF");
    if (utf16 && !(IsUtf8(section) && IsUtf8(key) && IsUtf8(value))) {
        return 0;
    }
    if (!WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(),
                                    FilePath().c_str())) {
        Fail();
    }
    if (Read(section, key, static_cast<DWORD>(value.size() + 1)) != value) {
        Fail();
    }
    if (!SameNoCase(Trim(otherKey), Trim(key)) && Read(section, otherKey, 10000) != otherBefore) {
        Fail();
    }
    return 0;
}
