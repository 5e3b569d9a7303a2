#include "DataFiles.h"

#include <array>
#include <atomic>
#include <deque>
#include <mutex>
#include <stdexcept>

#include "GameImage.h"
#include "Win32.h"

namespace testbed {

namespace {

using namespace layout;

struct FileListHeader {
    std::uint32_t count;
    std::uint32_t unused;
    DataFileRecord** records;
};

struct RegistryObject {
    std::uint8_t header[kRegistryFullList];
    FileListHeader lists[3];
};
static_assert(offsetof(RegistryObject, lists) == kRegistryFullList);
static_assert(kRegistrySmallList == kRegistryFullList + sizeof(FileListHeader));
static_assert(kRegistryMediumList == kRegistrySmallList + sizeof(FileListHeader));
static_assert(offsetof(FileListHeader, records) == kRegistryListArray);

struct alignas(16) GameForm {
    std::uint8_t bytes[0x40];
};

struct State {
    std::mutex edit;  // serialises the writers; readers go without it
    RegistryObject registry{};
    std::array<std::array<DataFileRecord*, DataFiles::kSlotsPerList>, 3> slots{};
    std::deque<DataFileRecord> records;  // stable addresses as it grows

    std::array<GameForm, DataFiles::kFormCapacity> forms{};
    std::array<std::atomic<std::uint32_t>, DataFiles::kFormCapacity> formIds{};
    std::atomic<std::size_t> formCount{0};

    std::atomic<std::uint64_t> lookupCalls{0};
    std::atomic<std::uint32_t> lastLookupId{0};
};

State& S() {
    static State state;
    return state;
}

GameImage& Image() {
    return GameImage::Get();
}

FileListHeader& ListOf(DataFileList list) {
    return S().registry.lists[static_cast<std::size_t>(list)];
}

// The slot is filled before the count that exposes it is raised, so a reader on another thread
// sees either the old list or the new one whole.
void Append(DataFileList list, DataFileRecord* record) {
    FileListHeader& header = ListOf(list);
    const std::uint32_t count = header.count;
    if (count >= DataFiles::kSlotsPerList) {
        throw std::length_error("the testbed's data-file list is full");
    }
    std::atomic_ref(header.records[count]).store(record, std::memory_order_relaxed);
    std::atomic_ref(header.count).store(count + 1, std::memory_order_release);
}

void* TESTBED_GAME_CALL LookupFormById(std::uint32_t fullId) {
    State& s = S();
    s.lookupCalls.fetch_add(1, std::memory_order_relaxed);
    s.lastLookupId.store(fullId, std::memory_order_relaxed);
    const std::size_t placed = s.formCount.load(std::memory_order_acquire);
    for (std::size_t i = 0; i < placed; ++i) {
        if (s.formIds[i].load(std::memory_order_relaxed) == fullId) {
            return &s.forms[i];
        }
    }
    return nullptr;
}

}  // namespace

DataFiles& DataFiles::Get() {
    static DataFiles files;
    return files;
}

DataFiles::DataFiles() {
    State& s = S();
    for (std::size_t i = 0; i < s.slots.size(); ++i) {
        s.registry.lists[i].records = s.slots[i].data();
    }
    Image().PlaceFunction(kLookupFormById, &LookupFormById);
    Reset();
}

void DataFiles::Reset() {
    State& s = S();
    std::lock_guard lock(s.edit);
    SetRegistryPresent(true);
    for (FileListHeader& header : s.registry.lists) {
        std::atomic_ref(header.count).store(0, std::memory_order_release);
    }
    for (auto& list : s.slots) {
        list.fill(nullptr);
    }
    s.records.clear();
    s.formCount.store(0, std::memory_order_release);
    s.lookupCalls.store(0);
    s.lastLookupId.store(0);
}

DataFileRecord* DataFiles::AddFile(DataFileList list, std::string_view name,
                                   std::uint8_t compileIndex, std::uint8_t mediumIndex,
                                   std::uint16_t smallIndex) {
    State& s = S();
    std::lock_guard lock(s.edit);
    DataFileRecord record{};
    if (name.size() >= sizeof record.name) {
        throw std::length_error("data-file name too long for the game's record");
    }
    name.copy(record.name, name.size());
    record.compileIndex = compileIndex;
    record.mediumIndex = mediumIndex;
    record.smallIndex = smallIndex;
    if (ListOf(list).count >= kSlotsPerList) {
        throw std::length_error("the testbed's data-file list is full");
    }
    DataFileRecord* stored = &s.records.emplace_back(record);
    Append(list, stored);
    return stored;
}

void DataFiles::AddNullSlot(DataFileList list) {
    std::lock_guard lock(S().edit);
    Append(list, nullptr);
}

void DataFiles::SetRegistryPresent(bool present) {
    Image().Protect(kTrapPage, sizeof(RegistryObject), PAGE_READWRITE);
    Image().WriteValue<const void*>(kDataFileRegistryGlobal, present ? &S().registry : nullptr);
}

void DataFiles::SetRegistryTrapped() {
    // As large as the registry, so reading any of its lists faults.
    Image().Protect(kTrapPage, sizeof(RegistryObject), PAGE_NOACCESS);
    Image().WriteValue<const void*>(kDataFileRegistryGlobal, Image().At(kTrapPage));
}

void* DataFiles::PlaceForm(std::uint32_t fullId) {
    State& s = S();
    std::lock_guard lock(s.edit);
    const std::size_t placed = s.formCount.load(std::memory_order_relaxed);
    for (std::size_t i = 0; i < placed; ++i) {
        if (s.formIds[i].load(std::memory_order_relaxed) == fullId) {
            return &s.forms[i];
        }
    }
    if (placed == kFormCapacity) {
        throw std::length_error("the testbed holds no more forms");
    }
    s.formIds[placed].store(fullId, std::memory_order_relaxed);
    s.formCount.store(placed + 1, std::memory_order_release);
    return &s.forms[placed];
}

void* DataFiles::InstallDefaultLoadOrder() {
    Reset();
    AddFile(DataFileList::Full, "Starfield.esm", 0x00);
    AddFile(DataFileList::Full, "Constellation.esm", 0x01);
    AddFile(DataFileList::Full, "OldMars.esm", 0x02);
    AddFile(DataFileList::Full, "BlueprintShips-Starfield.esm", 0x03);
    AddFile(DataFileList::Full, "SFBGS003.esm", 0x04);
    AddFile(DataFileList::Full, "SFBGS004.esm", kSfbgs004CompileIndex);
    AddFile(DataFileList::Full, "SFBGS006.esm", 0x06);
    AddFile(DataFileList::Full, "SFBGS007.esm", 0x07);
    AddFile(DataFileList::Full, "SFBGS008.esm", 0x08);
    return PlaceForm(kActivationFilterFormId);
}

std::uint64_t DataFiles::LookupCalls() const {
    return S().lookupCalls.load();
}

std::uint32_t DataFiles::LastLookupId() const {
    return S().lastLookupId.load();
}

}  // namespace testbed
