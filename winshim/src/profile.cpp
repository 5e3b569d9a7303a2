// GetPrivateProfileStringA and WritePrivateProfileStringA for builds without Windows.
//
// The file model is the documented Windows one:
//  - "[name]" starts a section; "key=value" is an entry of the section above it. Section and key
//    names match without regard to ASCII case, and blanks (spaces, tabs) around names and values
//    do not count. Only the first section of a name, and its first entry of a key, are used.
//  - A value enclosed in matching single or double quotes is read without them.
//  - Lines starting with ';', lines without '=', and entries above the first section are kept
//    as they are and never match.
//  - A file that starts with a UTF-16 byte-order mark (FF FE, or FE FF for big-endian) is UTF-16
//    text: names and values are converted on the way in and out, and a write keeps the file
//    UTF-16 with its mark. A code unit with no UTF-8 form (an unpaired surrogate) reads as U+FFFD
//    and stays in the file as it was; a last odd byte reads as a code unit whose other byte is
//    zero. Without a mark, UTF-16 text is taken for single bytes and matches nothing. Any other
//    file is text in the ANSI code page, which for this build is UTF-8. A UTF-8 byte-order mark
//    is not recognised, as on Windows (Wine skips it): its three bytes belong to the first line,
//    so a "[Settings]" there is no section header, and a write leaves them where they are.
//  - With no key name, the names of the section's entries are given, and with no section name
//    the names of the file's sections, in file order: each followed by a zero, the list by a
//    second one. A list that does not fit is cut, its last name too, and still ends in two zeros;
//    the count is then the buffer's size minus two. A missing file or section gives an empty list.
//  - CR, LF and CRLF each end a line, mixed in one file too; a write gives new lines the file's
//    first line end (CRLF for a new file) and leaves every line it does not change as it was.
//  - Only a regular file is read or written. A folder, a FIFO or a device at the path reads as
//    missing, at once: nothing waits for a FIFO's other end. A write to one fails with
//    ERROR_ACCESS_DENIED and leaves it as it is. A file another handle holds shut (fileapi.h)
//    reads as missing, ERROR_SHARING_VIOLATION, and a write to it fails with that error. (Over a
//    Unix file system the Windows build reports a write to a FIFO as done, though its bytes reach
//    only a reader that holds the FIFO open and only a read in the same process sees the value
//    afterwards; refusing is the safe side of that.)
//  - A symbolic link is followed to the end of its chain, and a write goes to the file it names:
//    the links stay links. A link to a missing file creates that file. A link into a missing
//    folder fails with ERROR_FILE_NOT_FOUND, and a loop of links with
//    ERROR_CANT_RESOLVE_FILENAME; both leave the links as they are and create nothing. A path
//    into a missing folder fails with ERROR_PATH_NOT_FOUND and creates nothing.
// A write replaces the file through a temporary file in the same folder and a rename, so a crash
// leaves either the old file or the new one, never half of one (profile_file.cpp).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "FilePath.h"
#include "profile_file.h"
#include "winshim/control.h"
#include "winshim/windows.h"

namespace {

using winshim::profile::ReadProfileFile;
using winshim::profile::ReplaceFile;
using winshim::profile::WriteTarget;

std::mutex profileMutex;
int writesBeforeRefusal = 0;  // guarded by profileMutex
int writesToRefuse = 0;       // guarded by profileMutex

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return AsciiLower(x) == AsciiLower(y);
           });
}

std::string UnixPath(const char* path) {
    std::string result(path);
    std::replace(result.begin(), result.end(), '\\', '/');
    return result;
}

// --- Text encodings ---
//
// The document is held as UTF-8 whatever the file's encoding. An unpaired surrogate of a UTF-16
// file is held in the three-byte form UTF-8 would give it, so a line a write does not change goes
// back into the file unchanged.

enum class Encoding { Ansi, Utf16Le, Utf16Be };

constexpr std::string_view kUtf16LeMark = "\xFF\xFE";
constexpr std::string_view kUtf16BeMark = "\xFE\xFF";
constexpr char32_t kReplacement = 0xFFFD;

std::string_view MarkOf(Encoding encoding) {
    switch (encoding) {
        case Encoding::Utf16Le:
            return kUtf16LeMark;
        case Encoding::Utf16Be:
            return kUtf16BeMark;
        case Encoding::Ansi:
            break;
    }
    return {};
}

bool IsSurrogate(char32_t codePoint) {
    return codePoint >= 0xD800 && codePoint <= 0xDFFF;
}

// Takes one code point off the front of non-empty UTF-8 `text`. Surrogates in their three-byte
// form count as code points; a byte that starts no well-formed sequence gives U+FFFD, as Windows'
// conversion from UTF-8 does.
char32_t TakeCodePoint(std::string_view& text) {
    const auto lead = static_cast<unsigned char>(text.front());
    std::size_t length = 0;
    char32_t least = 0;
    if (lead < 0x80) {
        text.remove_prefix(1);
        return lead;
    }
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        least = 0x10000;
    }
    char32_t codePoint = lead & (0x7Fu >> length);
    bool wellFormed = length != 0 && text.size() >= length;
    for (std::size_t i = 1; wellFormed && i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[i]);
        wellFormed = (next & 0xC0) == 0x80;
        codePoint = codePoint << 6 | (next & 0x3Fu);
    }
    if (!wellFormed || codePoint < least || codePoint > 0x10FFFF) {
        text.remove_prefix(1);
        return kReplacement;
    }
    text.remove_prefix(length);
    return codePoint;
}

std::string FromUtf16(std::string_view bytes, bool bigEndian) {
    std::vector<char32_t> units;
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        const char32_t first = static_cast<unsigned char>(bytes[i]);
        const char32_t second = i + 1 < bytes.size() ? static_cast<unsigned char>(bytes[i + 1]) : 0;
        units.push_back(bigEndian ? first << 8 | second : second << 8 | first);
    }
    std::string text;
    for (std::size_t i = 0; i < units.size(); ++i) {
        char32_t codePoint = units[i];
        if (codePoint >= 0xD800 && codePoint < 0xDC00 && i + 1 < units.size() &&
            units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        }
        taviro::platform::AppendUtf8(text, codePoint);
    }
    return text;
}

std::string ToUtf16(std::string_view text, bool bigEndian) {
    std::string bytes;
    const auto unit = [&bytes, bigEndian](char32_t value) {
        const auto high = static_cast<char>(value >> 8);
        const auto low = static_cast<char>(value & 0xFF);
        bytes += bigEndian ? high : low;
        bytes += bigEndian ? low : high;
    };
    while (!text.empty()) {
        const char32_t codePoint = TakeCodePoint(text);
        if (codePoint < 0x10000) {
            unit(codePoint);
        } else {
            unit(0xD800 + ((codePoint - 0x10000) >> 10));
            unit(0xDC00 + ((codePoint - 0x10000) & 0x3FF));
        }
    }
    return bytes;
}

// A value from a UTF-16 file as the caller gets it: an unpaired surrogate has no UTF-8 form.
std::string ForCaller(std::string_view text) {
    std::string result;
    while (!text.empty()) {
        const std::string_view rest = text;
        const char32_t codePoint = TakeCodePoint(text);
        if (IsSurrogate(codePoint)) {
            taviro::platform::AppendUtf8(result, kReplacement);
        } else {
            result.append(rest.substr(0, rest.size() - text.size()));
        }
    }
    return result;
}

// --- Lines ---

struct Line {
    std::string content;  // without the line end
    std::string end;      // "\r\n", "\r", "\n", or empty for a last line without one
};

struct Document {
    Encoding encoding = Encoding::Ansi;
    std::vector<Line> lines;

    bool IsUtf16() const { return encoding == Encoding::Utf16Le || encoding == Encoding::Utf16Be; }

    std::string Text() const {
        std::string text;
        for (const auto& line : lines) {
            text += line.content;
            text += line.end;
        }
        if (IsUtf16()) {
            text = ToUtf16(text, encoding == Encoding::Utf16Be);
        }
        return std::string(MarkOf(encoding)) + text;
    }

    // The line end new lines get: the file's first, or the Windows one for a new file.
    std::string NewLineEnd() const {
        for (const auto& line : lines) {
            if (!line.end.empty()) {
                return line.end;
            }
        }
        return "\r\n";
    }
};

Document Parse(std::string_view bytes) {
    Document document;
    for (const Encoding encoding : {Encoding::Utf16Le, Encoding::Utf16Be}) {
        if (bytes.starts_with(MarkOf(encoding))) {
            document.encoding = encoding;
            bytes.remove_prefix(MarkOf(encoding).size());
            break;
        }
    }
    const std::string decoded =
        document.IsUtf16() ? FromUtf16(bytes, document.encoding == Encoding::Utf16Be) : "";
    std::string_view text = document.IsUtf16() ? std::string_view(decoded) : bytes;
    while (!text.empty()) {
        const std::size_t end = text.find_first_of("\r\n");
        Line line;
        line.content = text.substr(0, end);
        if (end == std::string_view::npos) {
            text = {};
        } else {
            const std::size_t endLength = text.substr(end, 2) == "\r\n" ? 2 : 1;
            line.end = text.substr(end, endLength);
            text.remove_prefix(end + endLength);
        }
        document.lines.push_back(std::move(line));
    }
    return document;
}

enum class Kind { Other, Section, Entry };

struct Classified {
    Kind kind = Kind::Other;
    std::string_view name;
    std::string_view value;
};

Classified Classify(std::string_view content) {
    const std::string_view text = Trim(content);
    if (text.empty() || text.front() == ';') {
        return {};
    }
    if (text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos) {
            return {};
        }
        return {Kind::Section, Trim(text.substr(1, close - 1)), {}};
    }
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos) {
        return {};
    }
    return {Kind::Entry, Trim(text.substr(0, equals)), Trim(text.substr(equals + 1))};
}

struct Location {
    std::optional<std::size_t> header;
    std::optional<std::size_t> entry;
    std::size_t lastInSection = 0;  // the last non-blank line of the section, header included
    std::size_t sectionEnd = 0;     // one past the section's last line
};

// `key` may be null when only the section is wanted. Blanks around the names asked for do not
// count, as they do not in the file.
Location Find(const Document& document, std::string_view section, const char* key) {
    section = Trim(section);
    const std::string_view keyName = key != nullptr ? Trim(key) : std::string_view();
    Location location;
    bool inSection = false;
    for (std::size_t i = 0; i < document.lines.size(); ++i) {
        const Classified line = Classify(document.lines[i].content);
        if (line.kind == Kind::Section) {
            if (inSection) {
                location.sectionEnd = i;
                return location;
            }
            if (EqualNoCase(line.name, section)) {
                inSection = true;
                location.header = i;
                location.lastInSection = i;
            }
            continue;
        }
        if (!inSection) {
            continue;
        }
        if (!Trim(document.lines[i].content).empty()) {
            location.lastInSection = i;
        }
        if (line.kind == Kind::Entry && key != nullptr && !location.entry &&
            EqualNoCase(line.name, keyName)) {
            location.entry = i;
        }
    }
    location.sectionEnd = document.lines.size();
    return location;
}

std::string_view Unquote(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// The names of `section`'s entries, or with no section those of the file's sections, each
// followed by a zero.
std::string Names(const char* section, const std::string& path, DWORD& error) {
    std::string names;
    std::lock_guard lock(profileMutex);
    const auto text = ReadProfileFile(path, error);
    if (!text) {
        return names;
    }
    const Document document = Parse(*text);
    const Location location = section != nullptr ? Find(document, section, nullptr) : Location{};
    if (section != nullptr && !location.header) {
        return names;
    }
    const std::size_t first = section != nullptr ? *location.header + 1 : 0;
    const std::size_t end = section != nullptr ? location.sectionEnd : document.lines.size();
    const Kind wanted = section != nullptr ? Kind::Entry : Kind::Section;
    for (std::size_t i = first; i < end; ++i) {
        const Classified line = Classify(document.lines[i].content);
        if (line.kind == wanted && !line.name.empty()) {
            names += document.IsUtf16() ? ForCaller(line.name) : std::string(line.name);
            names += '\0';
        }
    }
    return names;
}

DWORD ListNames(const char* section, LPSTR buffer, DWORD size, const char* fileName) {
    DWORD error = ERROR_SUCCESS;
    const std::string names = Names(section, UnixPath(fileName), error);
    SetLastError(error);
    if (size < 2) {
        buffer[0] = '\0';
        return 0;
    }
    if (names.size() + 1 <= size) {
        std::memcpy(buffer, names.data(), names.size());
        buffer[names.size()] = '\0';
        if (names.empty()) {
            buffer[1] = '\0';
        }
        return static_cast<DWORD>(names.size());
    }
    std::memcpy(buffer, names.data(), size - 2);
    buffer[size - 2] = '\0';
    buffer[size - 1] = '\0';
    return size - 2;
}

}  // namespace

namespace winshim {

void RefuseProfileWrites(int count, int after) {
    std::lock_guard lock(profileMutex);
    writesToRefuse = count;
    writesBeforeRefusal = after;
}

}  // namespace winshim

extern "C" {

DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR defaultText, LPSTR buffer,
                               DWORD size, LPCSTR fileName) {
    if (buffer == nullptr || size == 0) {
        return 0;
    }
    if (fileName == nullptr) {
        buffer[0] = '\0';
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (section == nullptr || key == nullptr) {
        return ListNames(section, buffer, size, fileName);
    }
    std::string result;
    bool found = false;
    DWORD error = ERROR_SUCCESS;
    {
        std::lock_guard lock(profileMutex);
        if (const auto text = ReadProfileFile(UnixPath(fileName), error)) {
            const Document document = Parse(*text);
            const Location location = Find(document, section, key);
            if (location.entry) {
                const std::string_view value =
                    Unquote(Classify(document.lines[*location.entry].content).value);
                result = document.IsUtf16() ? ForCaller(value) : std::string(value);
                found = true;
            }
        }
    }
    if (!found) {
        // Windows drops trailing blanks from the default text.
        std::string_view fallback = defaultText != nullptr ? defaultText : "";
        while (!fallback.empty() && fallback.back() == ' ') {
            fallback.remove_suffix(1);
        }
        result = fallback;
        SetLastError(error == ERROR_SHARING_VIOLATION ? error : ERROR_FILE_NOT_FOUND);
    }
    const std::size_t count = std::min<std::size_t>(result.size(), size - 1);
    std::memcpy(buffer, result.data(), count);
    buffer[count] = '\0';
    return static_cast<DWORD>(count);
}

// A null key removes the section, a null value removes the key, as on Windows.
BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR fileName) {
    if (section == nullptr || fileName == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    std::lock_guard lock(profileMutex);
    if (writesBeforeRefusal > 0) {
        --writesBeforeRefusal;
    } else if (writesToRefuse > 0) {
        --writesToRefuse;
        return Fail(ERROR_ACCESS_DENIED);
    }

    DWORD error = ERROR_SUCCESS;
    const std::optional<std::string> target = WriteTarget(UnixPath(fileName), error);
    if (!target) {
        return Fail(error);
    }
    const std::string& path = *target;
    std::optional<mode_t> mode;
    struct stat info {};
    const bool exists = lstat(path.c_str(), &info) == 0;
    if (exists) {
        if (!S_ISREG(info.st_mode) || access(path.c_str(), W_OK) != 0) {
            return Fail(ERROR_ACCESS_DENIED);
        }
        mode = info.st_mode & 07777;
    }

    DWORD readError = ERROR_SUCCESS;
    std::optional<std::string> text = exists ? ReadProfileFile(path, readError) : std::string();
    if (!text) {
        return Fail(readError == ERROR_SHARING_VIOLATION ? readError : ERROR_ACCESS_DENIED);
    }
    Document document = Parse(*text);
    const std::string lineEnd = document.NewLineEnd();
    const Location location = Find(document, section, key);
    auto& lines = document.lines;

    if (key == nullptr) {
        if (location.header) {
            lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(*location.header),
                        lines.begin() + static_cast<std::ptrdiff_t>(location.sectionEnd));
        }
    } else if (value == nullptr) {
        if (location.entry) {
            lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(*location.entry));
        }
    } else if (location.entry) {
        Line& line = lines[*location.entry];
        line.content = std::string(Classify(line.content).name) + "=" + value;
        if (line.end.empty()) {
            line.end = lineEnd;
        }
    } else if (location.header) {
        Line& last = lines[location.lastInSection];
        if (last.end.empty()) {
            last.end = lineEnd;
        }
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(location.lastInSection + 1),
                     Line{std::string(Trim(key)) + "=" + value, lineEnd});
    } else {
        if (!lines.empty()) {
            if (lines.back().end.empty()) {
                lines.back().end = lineEnd;
            }
            lines.push_back(Line{"", lineEnd});
        }
        lines.push_back(Line{"[" + std::string(Trim(section)) + "]", lineEnd});
        lines.push_back(Line{std::string(Trim(key)) + "=" + value, lineEnd});
    }

    const std::string updated = document.Text();
    if (updated == *text && (exists || updated.empty())) {
        return TRUE;  // nothing to change, and a removal creates no file
    }
    if (!ReplaceFile(path, updated, mode)) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    return TRUE;
}

}  // extern "C"
