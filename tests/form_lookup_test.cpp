// Form lookup by data-file name and local form ID, against the game's registry and lookup in the
// testbed. Every check that expects a lookup also checks the full ID the game was asked for.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "DataFiles.h"
#include "GameImage.h"
#include "GameLayout.h"
#include "GameRuntime.h"
#include "game/FormLookup.h"
#include "game/GameMemory.h"
#include "game/GamePointers.h"
#include "util/HexText.h"

namespace {

using taviro::DataFileKind;
using taviro::FindDataFile;
using taviro::LookupFormInFile;
using testbed::DataFileList;
using testbed::DataFileRecord;

constexpr std::uint8_t kDlcIndex = 0x05;

class FormLookupTest : public ::testing::Test {
protected:
    FormLookupTest() : game(testbed::Game::Get()), files(testbed::DataFiles::Get()) {}

    void SetUp() override {
        game.Reset();
        taviro::gameBase.store(reinterpret_cast<std::uintptr_t>(testbed::GameImage::Get().Base()));
        files.Reset();
    }

    // `askedId` is the full ID the game must be asked for, with a form placed under it; nullopt
    // means the game must not be asked at all.
    void ExpectLookup(const std::string& text, const std::string& file,
                      std::optional<std::uint32_t> askedId) {
        void* const placed = askedId ? files.PlaceForm(*askedId) : nullptr;
        EXPECT_EQ(LookupFormInFile(text, file), placed);
        if (askedId) {
            EXPECT_EQ(files.LookupCalls(), 1u);
            EXPECT_EQ(files.LastLookupId(), *askedId)
                << std::hex << "asked 0x" << files.LastLookupId() << ", expected 0x" << *askedId;
        } else {
            EXPECT_EQ(files.LookupCalls(), 0u) << std::hex << "asked 0x" << files.LastLookupId();
        }
    }

    testbed::Game& game;
    testbed::DataFiles& files;
};

// --- Text and length rules, and reading the number ---

struct TextCase {
    const char* name;
    std::string text;
    std::string file;
    std::optional<std::uint32_t> askedId;
};

class FormIdTextTest : public FormLookupTest, public ::testing::WithParamInterface<TextCase> {};

TEST_P(FormIdTextTest, AsksTheGameForTheComposedId) {
    files.AddFile(DataFileList::Full, "Starfield.esm", 0x00);
    files.AddFile(DataFileList::Full, "SFBGS004.esm", kDlcIndex);
    ExpectLookup(GetParam().text, GetParam().file, GetParam().askedId);
}

// Names each parameterised case, and shows it in failure messages, by its table row's name.
template <class Case>
requires requires(const Case& c) {
    c.name;
}
void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name;
}

struct ByName {
    template <class Case>
    std::string operator()(const ::testing::TestParamInfo<Case>& row) const {
        return row.param.name;
    }
};

const TextCase kTextRules[] = {
    {"PaddedToFive", "017", "SFBGS004.esm", 0x05000017},
    {"OneDigit", "7", "SFBGS004.esm", 0x05000007},
    // Padding "0x017" to six would push the prefix off the start and read 0.
    {"FiveCharactersLeftAlone", "0x017", "SFBGS004.esm", 0x05000017},
    {"SixDigitsAnyFile", "012345", "SFBGS004.esm", 0x05012345},
    {"SevenDigitsOtherFile", "0000017", "SFBGS004.esm", std::nullopt},
    {"EightDigitsOtherFile", "00000017", "SFBGS004.esm", std::nullopt},
    {"SevenDigitsBaseFile", "1234567", "Starfield.esm", 0x01234567},
    {"EightDigitsBaseFile", "12345678", "Starfield.esm", 0x12345678},
    {"NineDigitsBaseFile", "000000017", "Starfield.esm", std::nullopt},
    {"NineDigitsOtherFile", "000000017", "SFBGS004.esm", std::nullopt},
    {"EmptyFileIsBaseFile", "017", "", 0x00000017},
    {"EmptyFileHasEightDigits", "12345678", "", 0x12345678},
    {"EmptyFileNineDigits", "000000017", "", std::nullopt},
    {"LowerCaseBaseFileFound", "123456", "starfield.esm", 0x00123456},
    {"LowerCaseBaseFileSixDigitsOnly", "1234567", "starfield.esm", std::nullopt},
    {"OtherFileAnyCase", "017", "sfbgs004.ESM", 0x05000017},
    {"EmptyText", "", "SFBGS004.esm", std::nullopt},
    {"EmptyTextEmptyFile", "", "", std::nullopt},
    {"FileNotLoaded", "017", "SFBGS005.esm", std::nullopt},
};
INSTANTIATE_TEST_SUITE_P(TextRules, FormIdTextTest, ::testing::ValuesIn(kTextRules), ByName());

const TextCase kNumberConversion[] = {
    // Zeros in front of a short text make it read as 0, not fail.
    {"ShortNonHexReadsZero", "zz", "SFBGS004.esm", 0x05000000},
    {"ShortPrefixPushedAway", "0x17", "SFBGS004.esm", 0x05000000},
    {"ShortLeadingBlank", " 17", "SFBGS004.esm", 0x05000000},
    {"TrailingTextIgnored", "17zz", "SFBGS004.esm", 0x05000017},
    {"FiveNonHex", "zz017", "SFBGS004.esm", std::nullopt},
    {"SixNonHex", "g00017", "SFBGS004.esm", std::nullopt},
    {"EightNonHexBaseFile", "x0000017", "Starfield.esm", std::nullopt},
    {"SixWithPrefix", "0x0017", "SFBGS004.esm", 0x05000017},
    {"SixWithLeadingBlanks", "   017", "SFBGS004.esm", 0x05000017},
    {"LowerCaseDigits", "00abcdef", "Starfield.esm", 0x00ABCDEF},
};
INSTANTIATE_TEST_SUITE_P(NumberConversion, FormIdTextTest, ::testing::ValuesIn(kNumberConversion),
                         ByName());

// Texts rejected before the file search must not touch the registry: it is made to fault.
class RegistryUntouchedTest : public FormLookupTest,
                              public ::testing::WithParamInterface<TextCase> {};

TEST_P(RegistryUntouchedTest, RejectedBeforeTheFileSearch) {
    files.SetRegistryTrapped();
    EXPECT_EQ(LookupFormInFile(GetParam().text, GetParam().file), nullptr);
    EXPECT_EQ(files.LookupCalls(), 0u);
}

const TextCase kRejectedEarly[] = {
    {"EmptyText", "", "SFBGS004.esm", std::nullopt},
    {"EmptyTextEmptyFile", "", "", std::nullopt},
    {"SevenDigitsOtherFile", "0000017", "SFBGS004.esm", std::nullopt},
    {"SevenDigitsLowerCaseBaseFile", "0000017", "starfield.esm", std::nullopt},
    {"NineDigitsBaseFile", "000000017", "Starfield.esm", std::nullopt},
};
INSTANTIATE_TEST_SUITE_P(TextRules, RegistryUntouchedTest, ::testing::ValuesIn(kRejectedEarly),
                         ByName());

// --- Composition of the full form ID ---

struct CompositionCase {
    const char* name;
    DataFileList list;
    const char* file;
    std::uint8_t compileIndex;
    std::uint8_t mediumIndex;
    std::uint16_t smallIndex;
    std::string text;
    std::optional<std::uint32_t> askedId;
};

class CompositionTest : public FormLookupTest,
                        public ::testing::WithParamInterface<CompositionCase> {};

TEST_P(CompositionTest, AsksTheGameForTheComposedId) {
    const CompositionCase& c = GetParam();
    files.AddFile(c.list, c.file, c.compileIndex, c.mediumIndex, c.smallIndex);
    ExpectLookup(c.text, c.file, c.askedId);
}

const CompositionCase kCompositions[] = {
    {"FullGetsSmallIndex", DataFileList::Full, "Dlc.esm", 0x05, 7, 3, "017", 0x05003017},
    {"SmallCarriesIntoSmallIndex", DataFileList::Small, "Dlc.esm", 0xFE, 0, 2, "1000", 0xFE003000},
    {"SmallIgnoresMediumIndex", DataFileList::Small, "Dlc.esm", 0xFE, 9, 0xFFF, "FFF", 0xFEFFFFFF},
    {"MediumUsesMediumIndexOnly", DataFileList::Medium, "Dlc.esm", 0xFD, 4, 9, "017", 0xFD040017},
    {"MediumCarriesIntoMediumIndex", DataFileList::Medium, "Dlc.esm", 0xFD, 1, 0, "10000",
     0xFD020000},
    {"KindTermAlone", DataFileList::Small, "Dlc.esm", 0x00, 0, 1, "0", 0x00001000},
    {"BaseFileWraps", DataFileList::Full, "Starfield.esm", 0x01, 0, 0, "FFFFFFFF", 0x00FFFFFF},
    {"BaseFileWrapsThenKindTerm", DataFileList::Full, "Starfield.esm", 0x01, 0, 1, "FFFFFFFF",
     0x01000FFF},
    {"WrapsToZero", DataFileList::Full, "Starfield.esm", 0x01, 0, 0, "FF000000", std::nullopt},
    {"AllTermsZero", DataFileList::Medium, "Dlc.esm", 0x00, 0, 0, "0", std::nullopt},
};
INSTANTIATE_TEST_SUITE_P(FormIds, CompositionTest, ::testing::ValuesIn(kCompositions), ByName());

TEST_F(FormLookupTest, IdZeroIsNeverLookedUpEvenIfTheGameHasSuchAForm) {
    files.AddFile(DataFileList::Full, "Starfield.esm", 0x00);
    files.PlaceForm(0);
    EXPECT_EQ(LookupFormInFile("0", "Starfield.esm"), nullptr);
    EXPECT_EQ(files.LookupCalls(), 0u);
}

TEST_F(FormLookupTest, MissingFormGivesNullAfterAsking) {
    files.AddFile(DataFileList::Full, "SFBGS004.esm", kDlcIndex);
    files.PlaceForm(0x05000018);
    EXPECT_EQ(LookupFormInFile("017", "SFBGS004.esm"), nullptr);
    EXPECT_EQ(files.LookupCalls(), 1u);
    EXPECT_EQ(files.LastLookupId(), 0x05000017u);
}

// --- The file search ---

struct NameCase {
    const char* name;
    std::string stored;
    std::string requested;
    bool found;
};

class FileNameMatchTest : public FormLookupTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(FileNameMatchTest, IgnoresAsciiCaseOnly) {
    const DataFileRecord* record = files.AddFile(DataFileList::Full, GetParam().stored, 3);
    DataFileKind kind = DataFileKind::None;
    const void* found = FindDataFile(GetParam().requested, kind);
    EXPECT_EQ(found, GetParam().found ? record : nullptr);
    EXPECT_EQ(kind, GetParam().found ? DataFileKind::Full : DataFileKind::None);
}

const NameCase kNames[] = {
    {"Exact", "SFBGS004.esm", "SFBGS004.esm", true},
    {"RequestedInOtherCase", "SFBGS004.esm", "sfbgs004.ESM", true},
    {"StoredInLowerCase", "sfbgs004.esm", "SFBGS004.ESM", true},
    {"TrailingBlank", "SFBGS004.esm", "SFBGS004.esm ", false},
    {"NoExtension", "SFBGS004.esm", "SFBGS004", false},
    {"OtherExtension", "SFBGS004.esm", "SFBGS004.esp", false},
    {"Prefix", "SFBGS004.esm", "SFBGS004.es", false},
    {"Longer", "SFBGS004.es", "SFBGS004.esm", false},
    {"WithFolder", "SFBGS004.esm", "Data\\SFBGS004.esm", false},
    {"Empty", "SFBGS004.esm", "", false},
    {"EmbeddedNul", "SFBGS004.esm", std::string("SFBGS004.esm\0x", 14), false},
    // Folding by setting bit 5 would pair these; the game's lower-casing does not.
    {"BracketIsNotBrace", "Mod[1].esm", "Mod{1}.esm", false},
    {"AtIsNotBacktick", "Mod@.esm", "Mod`.esm", false},
    {"NonAsciiNotFolded", "\xC4rger.esm", "\xE4rger.esm", false},
    {"NonAsciiExact", "\xC4rger.esm", "\xC4RGER.ESM", true},
};
INSTANTIATE_TEST_SUITE_P(Names, FileNameMatchTest, ::testing::ValuesIn(kNames), ByName());

struct ListOrderCase {
    const char* name;
    DataFileList addedFirst;
    DataFileList addedSecond;
    DataFileKind kind;
};

class ListOrderTest : public FormLookupTest, public ::testing::WithParamInterface<ListOrderCase> {};

TEST_P(ListOrderTest, EarlierListWinsWhateverTheOrderOfLoading) {
    const ListOrderCase& c = GetParam();
    files.AddFile(c.addedFirst, "Other.esm", 0x10);
    const DataFileRecord* first = files.AddFile(c.addedFirst, "Dup.esm", 0x11);
    const DataFileRecord* second = files.AddFile(c.addedSecond, "DUP.ESM", 0x12);
    const DataFileRecord* expected =
        static_cast<int>(c.addedFirst) < static_cast<int>(c.addedSecond) ? first : second;
    DataFileKind kind = DataFileKind::None;
    EXPECT_EQ(FindDataFile("dup.esm", kind), expected);
    EXPECT_EQ(kind, c.kind);
}

const ListOrderCase kListOrders[] = {
    {"FullBeforeSmall", DataFileList::Small, DataFileList::Full, DataFileKind::Full},
    {"FullBeforeMedium", DataFileList::Full, DataFileList::Medium, DataFileKind::Full},
    {"SmallBeforeMedium", DataFileList::Medium, DataFileList::Small, DataFileKind::Small},
    {"SmallAfterFull", DataFileList::Full, DataFileList::Small, DataFileKind::Full},
};
INSTANTIATE_TEST_SUITE_P(Lists, ListOrderTest, ::testing::ValuesIn(kListOrders), ByName());

TEST_F(FormLookupTest, NullSlotsSkippedAndLowestIndexWins) {
    files.AddNullSlot(DataFileList::Full);
    files.AddFile(DataFileList::Full, "Other.esm", 0x01);
    files.AddNullSlot(DataFileList::Full);
    const DataFileRecord* first = files.AddFile(DataFileList::Full, "Dup.esm", 0x03);
    files.AddFile(DataFileList::Full, "Dup.esm", 0x04);
    files.AddNullSlot(DataFileList::Small);
    files.AddNullSlot(DataFileList::Small);
    const DataFileRecord* medium = files.AddFile(DataFileList::Medium, "Late.esm", 0x05);

    DataFileKind kind = DataFileKind::None;
    EXPECT_EQ(FindDataFile("Dup.esm", kind), first);
    EXPECT_EQ(kind, DataFileKind::Full);
    kind = DataFileKind::None;
    EXPECT_EQ(FindDataFile("Late.esm", kind), medium);
    EXPECT_EQ(kind, DataFileKind::Medium);
    ExpectLookup("017", "Dup.esm", 0x03000017);
}

TEST_F(FormLookupTest, MissLeavesKindAsTheCallerSetIt) {
    files.AddFile(DataFileList::Small, "Dlc.esm", 0x01);
    DataFileKind kind = DataFileKind::Medium;
    EXPECT_EQ(FindDataFile("Missing.esm", kind), nullptr);
    EXPECT_EQ(kind, DataFileKind::Medium);
}

TEST_F(FormLookupTest, NullRegistryFindsNothing) {
    files.AddFile(DataFileList::Full, "Starfield.esm", 0x00);
    files.PlaceForm(0x17);
    files.SetRegistryPresent(false);
    DataFileKind kind = DataFileKind::Small;
    EXPECT_EQ(FindDataFile("Starfield.esm", kind), nullptr);
    EXPECT_EQ(kind, DataFileKind::Small);
    ExpectLookup("017", "Starfield.esm", std::nullopt);
}

// --- The pointer refresh ---

TEST_F(FormLookupTest, RefreshReadsAllFourPointers) {
    void* filter = files.InstallDefaultLoadOrder();
    const taviro::GamePointers s = taviro::RefreshGamePointers();
    EXPECT_EQ(s.patchSite, testbed::GameImage::Get().At(testbed::layout::kHandbrakePatchSite));
    EXPECT_EQ(s.trackedSingleton, game.Tracked());
    EXPECT_EQ(s.gameUi, game.Ui());
    EXPECT_EQ(s.activationFilterForm, filter);
    ASSERT_NE(filter, nullptr);
    EXPECT_EQ(files.LookupCalls(), 1u);
    EXPECT_EQ(files.LastLookupId(), testbed::DataFiles::kActivationFilterFormId);
}

TEST_F(FormLookupTest, RefreshFindsTheFilterFormInASmallFile) {
    files.AddFile(DataFileList::Full, "Starfield.esm", 0x00);
    files.AddFile(DataFileList::Small, "sfbgs004.esm", 0xFE, 0, 0x00A);
    void* filter = files.PlaceForm(0xFE00A017);
    EXPECT_EQ(taviro::RefreshGamePointers().activationFilterForm, filter);
    EXPECT_EQ(files.LastLookupId(), 0xFE00A017u);
}

TEST_F(FormLookupTest, RefreshReadsNullsAsTheyAre) {
    // A load with the DLC uninstalled, and the UI and tracked object not yet created.
    files.AddFile(DataFileList::Full, "Starfield.esm", 0x00);
    game.SetUiPresent(false);
    game.SetTrackedPresent(false);
    const taviro::GamePointers s = taviro::RefreshGamePointers();
    EXPECT_EQ(s.activationFilterForm, nullptr);
    EXPECT_EQ(s.gameUi, nullptr);
    EXPECT_EQ(s.trackedSingleton, nullptr);
    EXPECT_EQ(s.patchSite, testbed::GameImage::Get().At(testbed::layout::kHandbrakePatchSite));
    EXPECT_EQ(files.LookupCalls(), 0u);

    // The file is back but without the form.
    files.AddFile(DataFileList::Full, "SFBGS004.esm", testbed::DataFiles::kSfbgs004CompileIndex);
    EXPECT_EQ(taviro::RefreshGamePointers().activationFilterForm, nullptr);
    EXPECT_EQ(files.LastLookupId(), testbed::DataFiles::kActivationFilterFormId);
}

// The routines keep no state, so sinks on several game threads may look forms up at once, while
// the game adds forms.
TEST_F(FormLookupTest, ConcurrentLookupsWhileTheGamePlacesForms) {
    void* filter = files.InstallDefaultLoadOrder();
    constexpr int kThreads = 3;
    std::vector<void*> seenLate(kThreads, nullptr);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            void*& seen = seenLate[static_cast<std::size_t>(t)];
            for (int i = 0; i < 2000; ++i) {
                if (LookupFormInFile("017", "SFBGS004.esm") != filter) {
                    wrong.fetch_add(1);
                }
                // Absent until placed, then always the same object.
                void* found = LookupFormInFile("100", "Constellation.esm");
                if (found == nullptr ? seen != nullptr : (seen != nullptr && found != seen)) {
                    wrong.fetch_add(1);
                }
                seen = found;
            }
        });
    }
    void* late = files.PlaceForm(0x01000100);
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
    for (void* seen : seenLate) {
        EXPECT_TRUE(seen == nullptr || seen == late);
    }
    EXPECT_EQ(LookupFormInFile("100", "Constellation.esm"), late);
}

// The base-16 reading that form IDs and the hotkey share, as the runtime's strtoul reads base 16: a
// sign negates in 32 bits, a prefix needs a digit, overflow starts at two to the thirty-two, and
// only leading white space is skipped.
TEST(ParseHex32, ReadsAsTheRuntimeDoes) {
    using std::nullopt;
    const std::pair<std::string_view, std::optional<std::uint32_t>> cases[] = {
        {"-1", 0xFFFFFFFFu},
        {"-0x10", 0xFFFFFFF0u},
        {"-FFFFFFFF", 1u},
        {"+1b", 0x1Bu},
        {"--1", nullopt},
        {"+ 1", nullopt},
        {"0x", nullopt},
        {"0Xg", nullopt},
        {"x1", nullopt},
        {"0", 0u},
        {"00x1", 0u},
        {"FFFFFFFF", 0xFFFFFFFFu},
        {"000000000000ffffffff", 0xFFFFFFFFu},
        {"100000000", nullopt},
        {"-100000000", nullopt},
        {"1000000000000000000000000", nullopt},
        {" \t\n\v\f\r1A", 0x1Au},
        {"1 A", 1u},
        {"", nullopt},
        {" \t ", nullopt},
        {std::string_view("\0"
                          "1",
                          2),
         nullopt},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(taviro::ParseHex32(text), expected) << "\"" << text << "\"";
    }
}

}  // namespace
