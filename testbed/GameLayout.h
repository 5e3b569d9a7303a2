// Where Starfield.exe 1.14.74 keeps what the plugin reaches, written down independently of the
// plugin's own table so that a wrong offset on either side shows up as a failing test.
#pragma once

#include <cstddef>
#include <cstdint>

// The game's calling convention, used for every function the game exposes or calls.
#define TESTBED_GAME_CALL __attribute__((ms_abi))

namespace testbed::layout {

inline constexpr std::size_t kImageSize = 0x6A00000;
inline constexpr std::uintptr_t kLowestOffsetUsed = 0x5CB5AC;

inline constexpr std::uintptr_t kFrameCaller = 0x30408EA;  // sub rsp,28h; call; add rsp,28h; ret

// The plugin's table, in its order and under its names, so the two can be compared line by line.
inline constexpr std::uintptr_t kVehicleUpdateCallSite = 0x30408EE;
inline constexpr std::uintptr_t kHandbrakePatchSite = 0x3046395;
inline constexpr std::ptrdiff_t kHandbrakeByteDelta = 6;

inline constexpr std::uintptr_t kVehicleUpdate = 0x3045F30;
inline constexpr std::uintptr_t kRegisterSink = 0x5CB5AC;
inline constexpr std::uintptr_t kLoadGameEventSource = 0x1AB26B0;
inline constexpr std::uintptr_t kExitVehicleEventSource = 0x20C3AB0;
inline constexpr std::uintptr_t kActivateEventSource = 0x1AB16F0;
inline constexpr std::uintptr_t kMenuQuery = 0x316C414;
inline constexpr std::uintptr_t kStringBuild = 0x344D670;
inline constexpr std::uintptr_t kStringRelease = 0x79C118;
inline constexpr std::uintptr_t kFloatQuery1 = 0x1B03A9C;
inline constexpr std::uintptr_t kFloatQuery2 = 0x1B0F2E0;
inline constexpr std::uintptr_t kTruthQuery = 0x2D3C670;
inline constexpr std::uintptr_t kReferenceTest = 0x13E50F8;
inline constexpr std::uintptr_t kLookupFormById = 0x1534CD0;

inline constexpr std::uintptr_t kGameUiGlobal = 0x682A928;
inline constexpr std::ptrdiff_t kUiMenuEventSource = 0x10;
inline constexpr std::uintptr_t kTrackedSingletonGlobal = 0x66C53F8;
inline constexpr std::uintptr_t kDataFileRegistryGlobal = 0x65E03D0;

inline constexpr std::uintptr_t kHandbrakeByte = kHandbrakePatchSite + kHandbrakeByteDelta;
inline constexpr std::uint8_t kShippedHandbrakeByte = 0x03;

// A page of the image the game never uses; the testbed can make it fault on any access.
inline constexpr std::uintptr_t kTrapPage = 0x6900000;

// Object layouts.
inline constexpr std::ptrdiff_t kStringFlags = 0x14;
inline constexpr std::ptrdiff_t kStringText = 0x18;
inline constexpr std::ptrdiff_t kTrackedField = 0xB0;
inline constexpr std::ptrdiff_t kUpdateObjectFloat = 0xE0;

// The data-file registry: three lists (full, small, medium), each a u32 count with the array
// of record pointers 8 bytes after it.
inline constexpr std::ptrdiff_t kRegistryFullList = 0x1548;
inline constexpr std::ptrdiff_t kRegistrySmallList = 0x1558;
inline constexpr std::ptrdiff_t kRegistryMediumList = 0x1568;
inline constexpr std::ptrdiff_t kRegistryListArray = 8;
inline constexpr std::ptrdiff_t kRecordName = 0x38;
inline constexpr std::ptrdiff_t kRecordCompileIndex = 0x218;
inline constexpr std::ptrdiff_t kRecordMediumIndex = 0x219;
inline constexpr std::ptrdiff_t kRecordSmallIndex = 0x21A;

}  // namespace testbed::layout
