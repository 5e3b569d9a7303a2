// The 5 bytes at the game stand-in's vehicle update call site, read and written as the tests of
// the redirect need them: what is there, where it leads, and a call or jump to any target.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "GameImage.h"
#include "GameLayout.h"

namespace taviro::testing {

using SiteBytes = std::array<std::uint8_t, 5>;

inline std::uintptr_t SiteAddress() {
    return reinterpret_cast<std::uintptr_t>(
        testbed::GameImage::Get().At(testbed::layout::kVehicleUpdateCallSite));
}

inline std::uintptr_t GameFunctionAddress() {
    return reinterpret_cast<std::uintptr_t>(
        testbed::GameImage::Get().At(testbed::layout::kVehicleUpdate));
}

inline SiteBytes ReadSite() {
    return testbed::GameImage::Get().Read<SiteBytes>(testbed::layout::kVehicleUpdateCallSite);
}

inline void WriteSite(const SiteBytes& bytes) {
    testbed::GameImage::Get().Write(testbed::layout::kVehicleUpdateCallSite, bytes.data(),
                                    bytes.size());
}

// Where a 5-byte E8/E9 at the site leads.
inline std::uintptr_t SiteTarget() {
    std::int32_t displacement = 0;
    const SiteBytes bytes = ReadSite();
    std::memcpy(&displacement, bytes.data() + 1, sizeof displacement);
    return SiteAddress() + 5 +
           static_cast<std::uintptr_t>(static_cast<std::intptr_t>(displacement));
}

// A call (or, with 0xE9, a jump) from the site to `target`.
inline SiteBytes CallTo(std::uintptr_t target, std::uint8_t opcode = 0xE8) {
    const auto displacement = static_cast<std::int32_t>(
        static_cast<std::intptr_t>(target) - static_cast<std::intptr_t>(SiteAddress() + 5));
    SiteBytes bytes{opcode};
    std::memcpy(bytes.data() + 1, &displacement, sizeof displacement);
    return bytes;
}

inline SiteBytes GamesOwnCall() {
    return CallTo(GameFunctionAddress());
}

// An address or offset as the log names code: upper-case hexadecimal, no prefix.
inline std::string HexText(std::uintptr_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "%llX", static_cast<unsigned long long>(value));
    return text;
}

}  // namespace taviro::testing
