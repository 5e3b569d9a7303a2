// The private-profile functions on their own, against real files: the platform's own on Windows
// (and under Wine), the stand-ins elsewhere. Files the Windows build cannot make (FIFOs, links)
// are tried on the stand-ins only.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Win32.h"
#include "support/HeldFile.h"
#include "support/PluginFolder.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#endif

namespace {

namespace fs = std::filesystem;
using taviro::testing::FileText;
using taviro::testing::HeldFile;
using taviro::testing::PluginFolder;
using taviro::testing::SettingsIn;

// A file of the plugin folder, spelled as the plugin spells it.
std::string ProfilePath(const std::string& name) {
    return ".\\Data\\SFSE\\Plugins\\" + name;
}

std::string Read(const std::string& file, const char* section, const char* key,
                 const char* defaultText = "-") {
    char buffer[256];
    const DWORD count = GetPrivateProfileStringA(section, key, defaultText, buffer, sizeof buffer,
                                                 ProfilePath(file).c_str());
    return std::string(buffer, count);
}

BOOL Write(const std::string& file, const char* section, const char* key, const char* value) {
    return WritePrivateProfileStringA(section, key, value, ProfilePath(file).c_str());
}

std::string Utf16(std::u16string_view text, bool bigEndian) {
    std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (const char16_t unit : text) {
        const auto high = static_cast<char>(unit >> 8);
        const auto low = static_cast<char>(unit & 0xFF);
        bytes += bigEndian ? high : low;
        bytes += bigEndian ? low : high;
    }
    return bytes;
}

// The code units after a two-byte mark.
std::u16string FromUtf16(const std::string& bytes, bool bigEndian) {
    std::u16string text;
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
        const auto first = static_cast<unsigned char>(bytes[i]);
        const auto second = static_cast<unsigned char>(bytes[i + 1]);
        text += static_cast<char16_t>(bigEndian ? first << 8 | second : second << 8 | first);
    }
    return text;
}

// A file holding bLogging=1 and iHandbrakeHotkey=0x1B under [Settings], whatever its encoding
// or line ends: read, rewritten and read again as the plugin does.
void ExpectReadAndRewritten(const std::string& file) {
    EXPECT_EQ(Read(file, "Settings", "bLogging"), "1");
    EXPECT_EQ(Read(file, "settings", "IHANDBRAKEHOTKEY"), "0x1B");
    EXPECT_TRUE(Write(file, "Settings", "bLogging", "0"));
    EXPECT_TRUE(Write(file, "New", "key", "v"));
    EXPECT_EQ(Read(file, "Settings", "bLogging"), "0");
    EXPECT_EQ(Read(file, "Settings", "iHandbrakeHotkey"), "0x1B");
    EXPECT_EQ(Read(file, "New", "key"), "v");
}

class PrivateProfile : public ::testing::Test {
protected:
    PluginFolder folder;
};

TEST_F(PrivateProfile, ProfileReadCopiesAtMostSizeMinusOneOrTheDefault) {
    folder.WriteFile("TaviroCustom.ini", "[S]\r\nk=abcdef\r\n");
    const std::string path = ProfilePath("TaviroCustom.ini");
    char buffer[4] = {'?', '?', '?', '?'};
    EXPECT_EQ(GetPrivateProfileStringA("S", "k", "", buffer, 4, path.c_str()), 3u);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(GetPrivateProfileStringA("S", "missing", "dft", buffer, 4, path.c_str()), 3u);
    EXPECT_STREQ(buffer, "dft");
    EXPECT_EQ(GetPrivateProfileStringA("S", "k", "d", buffer, 4, ".\\Data\\none.ini"), 1u);
    EXPECT_STREQ(buffer, "d");
}

// Other lines, a character outside ASCII and an unpaired surrogate among them, survive a write,
// which keeps the file UTF-16 in its byte order.
TEST_F(PrivateProfile, Utf16FileWithMarkIsReadAndStaysUtf16) {
    std::u16string text =
        u"; note\r\n[Settings]\r\nbLogging=1\r\n  iHandbrakeHotkey = 0x1B \r\n[Other]\r\nk=v\r\n";
    const std::u16string odd = u"odd=\u00e9" + std::u16string(1, char16_t{0xD800}) + u"x\r\n";
    text += odd;
    for (const bool bigEndian : {false, true}) {
        SCOPED_TRACE(bigEndian ? "big-endian" : "little-endian");
        folder.WriteFile("Wide.ini", Utf16(text, bigEndian));
        EXPECT_EQ(Read("Wide.ini", "Settings", "k"), "-");
        ExpectReadAndRewritten("Wide.ini");
        EXPECT_EQ(Read("Wide.ini", "Other", "k"), "v");
        const std::string bytes = FileText(folder.Plugins() / "Wide.ini");
        EXPECT_EQ(bytes.substr(0, 2), Utf16(u"", bigEndian));
        const std::u16string written = FromUtf16(bytes, bigEndian);
        EXPECT_NE(written.find(u"bLogging=0\r\n"), std::u16string::npos);
        EXPECT_NE(written.find(u"[New]\r\nkey=v\r\n"), std::u16string::npos);
        EXPECT_NE(written.find(odd), std::u16string::npos);
    }
    // Without the mark the text is taken for single bytes, and its zero bytes match nothing.
    folder.WriteFile("Wide.ini", Utf16(text, false).substr(2));
    EXPECT_EQ(Read("Wide.ini", "Settings", "bLogging"), "-");
}

// With no key name a section's keys are listed, with no section name the file's sections: each
// followed by a zero, the list by a second one, and cut to the buffer as documented.
TEST_F(PrivateProfile, ListsKeysAndSectionsEndingInTwoZerosAndCutToTheBuffer) {
    folder.WriteFile("List.ini",
                     "; note\r\n[A]\r\nk1=1\r\n; c\r\n k2 = 2\r\nno key\r\n[B]\r\nx=1\r\n");
    const std::string path = ProfilePath("List.ini");
    const auto list = [&](const char* section, DWORD size, const std::string& file) {
        std::string buffer(size, '?');
        const DWORD count =
            GetPrivateProfileStringA(section, nullptr, "", buffer.data(), size, file.c_str());
        return std::make_pair(count, buffer);
    };
    EXPECT_EQ(list("a", 64, path).first, 6u);
    EXPECT_EQ(list("a", 64, path).second.substr(0, 7), std::string("k1\0k2\0\0", 7));
    EXPECT_EQ(list(nullptr, 64, path).first, 4u);
    EXPECT_EQ(list(nullptr, 64, path).second.substr(0, 5), std::string("A\0B\0\0", 5));
    // Cut: the last name too, then two zeros, the count being the size less two. (Wine's ANSI
    // list leaves the very last byte as it was; the list still ends where its zero says.)
    const auto cutKeys = list("A", 6, path);
    const auto cutSections = list(nullptr, 4, path);
    EXPECT_EQ(cutKeys.first, 4u);
    EXPECT_EQ(cutKeys.second.substr(0, 5), std::string("k1\0k\0", 5));
    EXPECT_EQ(cutSections.first, 2u);
    EXPECT_EQ(cutSections.second.substr(0, 3), std::string("A\0\0", 3));
#ifndef _WIN32
    EXPECT_EQ(cutKeys.second[5], '\0');
    EXPECT_EQ(cutSections.second[3], '\0');
#endif
    // A missing section or file lists nothing.
    EXPECT_EQ(list("C", 64, path).first, 0u);
    EXPECT_EQ(list("C", 64, path).second[0], '\0');
    EXPECT_EQ(list(nullptr, 64, ProfilePath("None.ini")).first, 0u);
    EXPECT_EQ(list(nullptr, 64, ProfilePath("None.ini")).second[0], '\0');
}

// A file another program holds open with no sharing can be neither opened, read nor written
// until it lets go, though its attributes can be had; and a file open for reading, with sharing,
// cannot be held shut meanwhile.
TEST_F(PrivateProfile, AFileHeldShutReadsAsTheDefaultAndTakesNoWrite) {
    folder.WriteFile("Held.ini", "[S]\r\nk=v\r\n");
    const fs::path file = folder.Plugins() / "Held.ini";
    const std::string path = ProfilePath("Held.ini");
    const auto openToRead = [&] {
        return CreateFileA(path.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    {
        HeldFile holder(file);
        ASSERT_TRUE(holder.Held());
        EXPECT_EQ(Read("Held.ini", "S", "k"), "-");
        EXPECT_FALSE(Write("Held.ini", "S", "k", "w"));
        EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
        EXPECT_EQ(openToRead(), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
        EXPECT_FALSE(HeldFile(file).Held());
        WIN32_FILE_ATTRIBUTE_DATA data{};
        EXPECT_TRUE(GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data));
        EXPECT_EQ(data.nFileSizeLow, 10u);
    }
    EXPECT_EQ(Read("Held.ini", "S", "k"), "v");
    HANDLE reader = openToRead();
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(HeldFile(file).Held());
    CloseHandle(reader);
    EXPECT_TRUE(HeldFile(file).Held());
}

TEST_F(PrivateProfile, CrLfCrAndLfEachEndALine) {
    folder.WriteFile("Cr.ini",
                     "; note\r[Settings]\rbLogging=1\r  iHandbrakeHotkey = 0x1B \r[O]\rk=v\r");
    ExpectReadAndRewritten("Cr.ini");
    EXPECT_EQ(Read("Cr.ini", "O", "k"), "v");

    // CR then CRLF, and LF then CR, hold an empty line between them.
    folder.WriteFile("Mixed.ini", "[A]\ra=1\r\nb=2\nc=3\r\r\nd=4\n\re=5\r[B]\nf=6");
    const auto values = [] {
        std::string all;
        for (const char* key : {"a", "b", "c", "d", "e", "f"}) {
            all += Read("Mixed.ini", "A", key);
        }
        return all + Read("Mixed.ini", "B", "f");
    };
    EXPECT_EQ(values(), "12345-6");
    EXPECT_TRUE(Write("Mixed.ini", "A", "b", "9"));
    EXPECT_EQ(values(), "19345-6");
}

#ifndef _WIN32
// Windows itself keeps the lines a write does not change; Wine rewrites the file, so only the
// stand-in is held to this.
TEST_F(PrivateProfile, StandInWriteChangesOnlyItsOwnLine) {
    folder.WriteFile("Taviro.ini",
                     "; note\n[A]\nx = 1\n\n[Settings]\n  Key = old\nother line\n\n[B]\ny=2");
    EXPECT_TRUE(Write("Taviro.ini", "settings", "KEY", "new"));
    EXPECT_TRUE(Write("Taviro.ini", "Settings", "added", "1"));
    EXPECT_TRUE(Write("Taviro.ini", "New", "k", "v"));
    EXPECT_EQ(FileText(folder.Plugins() / "Taviro.ini"),
              "; note\n[A]\nx = 1\n\n[Settings]\nKey=new\nother line\nadded=1\n\n[B]\ny=2\n"
              "\n[New]\nk=v\n");

    folder.WriteFile("Cr.ini", "[A]\rx = 1\r[B]\ry=2");
    EXPECT_TRUE(Write("Cr.ini", "A", "added", "1"));
    EXPECT_TRUE(Write("Cr.ini", "New", "k", "v"));
    EXPECT_EQ(FileText(folder.Plugins() / "Cr.ini"),
              "[A]\rx = 1\radded=1\r[B]\ry=2\r\r[New]\rk=v\r");
}

// Windows takes a UTF-8 mark for bytes of the first line, so a section header there is none;
// Wine skips the mark, so only the stand-in is held to this.
TEST_F(PrivateProfile, StandInTakesAUtf8MarkForBytesOfTheFirstLine) {
    const std::string marked = "\xEF\xBB\xBF[Settings]\r\nk=v\r\n[Other]\r\nj=w\r\n";
    folder.WriteFile("Marked.ini", marked);
    EXPECT_EQ(Read("Marked.ini", "Settings", "k"), "-");
    EXPECT_EQ(Read("Marked.ini", "Other", "j"), "w");
    char sections[32];
    EXPECT_EQ(GetPrivateProfileStringA(nullptr, nullptr, "", sections, sizeof sections,
                                       ProfilePath("Marked.ini").c_str()),
              6u);
    EXPECT_EQ(std::string(sections, 7), std::string("Other\0\0", 7));
    // A write finds no [Settings] and adds one; the marked line stays as it was.
    EXPECT_TRUE(Write("Marked.ini", "Settings", "k", "x"));
    EXPECT_EQ(FileText(folder.Plugins() / "Marked.ini"), marked + "\r\n[Settings]\r\nk=x\r\n");
    // Its first line left empty, the file reads as meant.
    folder.WriteFile("Marked.ini", "\xEF\xBB\xBF\r\n[Settings]\r\nk=v\r\n");
    EXPECT_EQ(Read("Marked.ini", "Settings", "k"), "v");
}

// Opening a FIFO waits for its other end, and the plugin reads its settings under its state lock.
TEST_F(PrivateProfile, FifoReadsAsMissingAtOnceAndTakesNoWrite) {
    const fs::path fifo = folder.Plugins() / "Fifo.ini";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    auto attempt = std::async(std::launch::async, [] {
        const std::string value = Read("Fifo.ini", "S", "k");
        const BOOL written = Write("Fifo.ini", "S", "k", "v");
        return std::make_pair(value, written ? ERROR_SUCCESS : GetLastError());
    });
    using namespace std::chrono_literals;
    if (attempt.wait_for(5s) != std::future_status::ready) {
        ADD_FAILURE() << "the stand-in waits on a FIFO";
        // Plays the other end, so that a stuck open() returns and the test ends.
        while (attempt.wait_for(100ms) != std::future_status::ready) {
            const int end = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (end >= 0) {
                close(end);
            }
        }
    }
    const auto [value, writeError] = attempt.get();
    EXPECT_EQ(value, "-");
    EXPECT_EQ(writeError, ERROR_ACCESS_DENIED);
    EXPECT_TRUE(fs::is_fifo(fifo));
}

// A write goes to the end of a chain of links and leaves the links in place; a write through a
// link that cannot end in a file fails and leaves it too.
TEST_F(PrivateProfile, WriteThroughLinksKeepsThem) {
    const fs::path plugins = folder.Plugins();
    fs::create_symlink("Target.ini", plugins / "Dangling.ini");
    fs::create_symlink("Dangling.ini", plugins / "Chain.ini");
    EXPECT_TRUE(Write("Dangling.ini", "S", "a", "1"));
    EXPECT_TRUE(Write("Chain.ini", "S", "b", "2"));
    EXPECT_TRUE(fs::is_symlink(plugins / "Dangling.ini"));
    EXPECT_TRUE(fs::is_symlink(plugins / "Chain.ini"));
    EXPECT_EQ(SettingsIn(plugins / "Target.ini"),
              (std::vector<std::pair<std::string, std::string>>{{"S/a", "1"}, {"S/b", "2"}}));
    EXPECT_EQ(Read("Chain.ini", "S", "a"), "1");

    fs::create_symlink("Loop.ini", plugins / "Loop.ini");
    fs::create_symlink("Missing/Target.ini", plugins / "IntoMissing.ini");
    for (const auto& [link, error] : {std::pair{"Loop.ini", ERROR_CANT_RESOLVE_FILENAME},
                                      std::pair{"IntoMissing.ini", ERROR_FILE_NOT_FOUND}}) {
        SCOPED_TRACE(link);
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(Write(link, "S", "k", "v"));
        EXPECT_EQ(GetLastError(), error);
        EXPECT_TRUE(fs::is_symlink(plugins / link));
        EXPECT_EQ(Read(link, "S", "k"), "-");
    }
    // Nothing else was created: no folder at the dangling end, no temporary file left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(plugins), fs::directory_iterator()), 5);
}
#endif

}  // namespace
