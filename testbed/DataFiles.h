// The game's registry of loaded data files and its form lookup by full form ID, laid out as
// Starfield.exe 1.14.74 keeps them: the registry's pointer in the game global, three lists of
// record pointers (full, small and medium files), and LookupFormById at its offset.
//
// Tests and scenarios build the load order with AddFile and put forms in place with PlaceForm.
// The plugin may read the registry and call the lookup from any thread; changes to the load order
// are made while the plugin is not reading it, as the game does between loads. The lookup itself
// is lock-free and allocates nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "GameLayout.h"

namespace testbed {

// The game's three loaded-file lists, in the order the game numbers them.
enum class DataFileList : std::uint8_t { Full, Small, Medium };

// One loaded file's record. Only the named fields carry meaning; the rest is the game's.
struct DataFileRecord {
    std::uint8_t header[layout::kRecordName];
    char name[layout::kRecordCompileIndex - layout::kRecordName];  // NUL-terminated
    std::uint8_t compileIndex;
    std::uint8_t mediumIndex;
    std::uint16_t smallIndex;
    std::uint8_t trailer[0x24];
};
static_assert(offsetof(DataFileRecord, name) == layout::kRecordName);
static_assert(offsetof(DataFileRecord, compileIndex) == layout::kRecordCompileIndex);
static_assert(offsetof(DataFileRecord, mediumIndex) == layout::kRecordMediumIndex);
static_assert(offsetof(DataFileRecord, smallIndex) == layout::kRecordSmallIndex);

class DataFiles {
public:
    static constexpr std::size_t kSlotsPerList = 256;
    static constexpr std::size_t kFormCapacity = 64;

    // InstallDefaultLoadOrder's compile index for SFBGS004.esm, and the full ID of its form
    // 0x17, which the plugin uses to filter activations.
    static constexpr std::uint8_t kSfbgs004CompileIndex = 0x05;
    static constexpr std::uint32_t kActivationFilterFormId = 0x05000017;

    // Installs the registry and the lookup in the game image on first use.
    static DataFiles& Get();

    // No files loaded, registry present, no forms, call records cleared.
    void Reset();

    // Appends a file to `list` and returns its record, which stays valid until Reset. Names
    // longer than the record holds, and full lists, are refused with an exception.
    DataFileRecord* AddFile(DataFileList list, std::string_view name, std::uint8_t compileIndex,
                            std::uint8_t mediumIndex = 0, std::uint16_t smallIndex = 0);
    // Appends an empty slot, which the game allows in its lists.
    void AddNullSlot(DataFileList list);

    // Whether the game global holds the registry's address or null.
    void SetRegistryPresent(bool present);
    // Points the game global at a page that faults on any access: a test that expects the
    // registry never to be read dies if it is. Reset or SetRegistryPresent undo it.
    void SetRegistryTrapped();

    // A distinct game object that LookupFormById returns for `fullId`, 0 included; placing the
    // same ID again returns the same object. Safe while the plugin looks forms up.
    void* PlaceForm(std::uint32_t fullId);

    // The files of the shipped game that the plugin looks for, in the full list: Starfield.esm
    // at compile index 0 and SFBGS004.esm at kSfbgs004CompileIndex among others, with the
    // activation filter form placed. Resets first; returns that form.
    void* InstallDefaultLoadOrder();

    // Calls of LookupFormById since the last Reset, and the ID the latest one asked for.
    std::uint64_t LookupCalls() const;
    std::uint32_t LastLookupId() const;

private:
    DataFiles();
};

}  // namespace testbed
