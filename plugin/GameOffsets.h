// Every place in Starfield.exe (runtime 1.14.74) the plugin touches, as an offset from the image
// base. Object layouts live beside the code that reads them; only code and globals are here.
#pragma once

#include <cstdint>

namespace taviro::offsets {

// Code sites.
inline constexpr std::uintptr_t kVehicleUpdateCallSite = 0x30408EE;  // E8 rel32 -> kVehicleUpdate
inline constexpr std::uintptr_t kHandbrakePatchSite = 0x3046395;     // byte at +6: 0x00 / 0x03
inline constexpr std::uintptr_t kHandbrakeByteDelta = 6;

// Functions.
inline constexpr std::uintptr_t kVehicleUpdate = 0x3045F30;
inline constexpr std::uintptr_t kRegisterSink = 0x5CB5AC;
inline constexpr std::uintptr_t kLoadGameEventSource = 0x1AB26B0;
inline constexpr std::uintptr_t kExitVehicleEventSource = 0x20C3AB0;
inline constexpr std::uintptr_t kActivateEventSource = 0x1AB16F0;
inline constexpr std::uintptr_t kIsMenuOpen = 0x316C414;
inline constexpr std::uintptr_t kStringBuild = 0x344D670;
inline constexpr std::uintptr_t kStringRelease = 0x79C118;
inline constexpr std::uintptr_t kTrackedFloatQuery1 = 0x1B03A9C;
inline constexpr std::uintptr_t kTrackedFloatQuery2 = 0x1B0F2E0;
inline constexpr std::uintptr_t kGameFlagQuery = 0x2D3C670;
inline constexpr std::uintptr_t kReferenceTest = 0x13E50F8;
inline constexpr std::uintptr_t kLookupFormById = 0x1534CD0;

// Globals holding pointers.
inline constexpr std::uintptr_t kUiSingleton = 0x682A928;
inline constexpr std::uintptr_t kTrackedSingleton = 0x66C53F8;
inline constexpr std::uintptr_t kDataFileRegistry = 0x65E03D0;

}  // namespace taviro::offsets
