// Every place in Starfield.exe (runtime 1.14.74) the plugin touches, as an offset from the image
// base, each function with the signature the game gives it. Object layouts live beside the code
// that reads them; only code, functions and globals are here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "game/GameMemory.h"

namespace taviro::offsets {

using game::Function;
using game::Global;

// Code sites.
inline constexpr std::uintptr_t kVehicleUpdateCallSite = 0x30408EE;  // E8 rel32 -> kVehicleUpdate
inline constexpr std::uintptr_t kHandbrakePatchSite = 0x3046395;
inline constexpr std::ptrdiff_t kHandbrakeByteDelta = 6;  // 0x00 released, 0x03 engaged

// Functions.
inline constexpr Function<std::uint64_t(void* updateObject)> kVehicleUpdate{0x3045F30};
inline constexpr Function<void(void* source, void* sink)> kRegisterSink{0x5CB5AC};
inline constexpr Function<void*()> kLoadGameEventSource{0x1AB26B0};
inline constexpr Function<void*()> kExitVehicleEventSource{0x20C3AB0};
inline constexpr Function<void*()> kActivateEventSource{0x1AB16F0};
inline constexpr Function<std::uint8_t(void* ui, GameString* menuName)> kMenuQuery{0x316C414};
inline constexpr Function<void*(GameString* handle, const char* text, std::uint32_t zero)>
    kStringBuild{0x344D670};
inline constexpr Function<void(GameString* handle)> kStringRelease{0x79C118};
// Both are asked about the tracked object, through a copy of its pointer.
using FloatQuery = Function<void(void** trackedCopy, std::uint64_t, std::uint64_t, float* out)>;
inline constexpr FloatQuery kFloatQuery1{0x1B03A9C};
inline constexpr FloatQuery kFloatQuery2{0x1B0F2E0};
inline constexpr Function<std::uint64_t()> kTruthQuery{0x2D3C670};
inline constexpr Function<std::uint8_t(void* reference, void* form)> kReferenceTest{0x13E50F8};
inline constexpr Function<void*(std::uint32_t formId)> kLookupFormById{0x1534CD0};

// Globals holding pointers.
inline constexpr Global<void*> kGameUiGlobal{0x682A928};
inline constexpr Global<void*> kTrackedSingletonGlobal{0x66C53F8};
inline constexpr Global<const void*> kDataFileRegistryGlobal{0x65E03D0};

}  // namespace taviro::offsets
