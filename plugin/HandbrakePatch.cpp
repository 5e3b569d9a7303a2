#include "plugin/HandbrakePatch.h"

#include <atomic>

#include "Win32.h"
#include "plugin/ControlState.h"
#include "plugin/GameOffsets.h"

namespace taviro {

namespace {

// Held while one thread reads and rewrites the byte. The hook's busy path patches without
// StateMutex, so two threads can get here at once; the second must neither wait nor interleave
// its protection change with the first one's (it could restore a protection the first one is
// still relying on, or leave the page writable).
std::atomic_flag patchInProgress = ATOMIC_FLAG_INIT;

// Game code may be read by another thread of ours at the same moment; byte-wide atomic access
// keeps that well defined and compiles to plain moves.
std::uint8_t LoadCodeByte(const std::uint8_t* address) {
    return std::atomic_ref<std::uint8_t>(*const_cast<std::uint8_t*>(address))
        .load(std::memory_order_relaxed);
}

void StoreCodeByte(std::uint8_t* address, std::uint8_t value) {
    std::atomic_ref<std::uint8_t>(*address).store(value, std::memory_order_relaxed);
}

}  // namespace

bool BytesMatch(CodeBytes expected, const std::uint8_t* address) {
    if (address == nullptr || expected.empty()) {
        return false;
    }
    bool match = true;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        match = (LoadCodeByte(address + i) == expected.at(i)) && match;
    }
    return match;
}

bool WriteCodeBytes(CodeBytes bytes, std::uint8_t* address) {
    if (address == nullptr || bytes.empty()) {
        return false;
    }
    DWORD oldProtect = 0;
    if (!VirtualProtect(address, kProtectWindow, PAGE_EXECUTE_READWRITE, &oldProtect)) {
        return false;
    }
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        StoreCodeByte(address + i, bytes.at(i));
    }
    DWORD unused = 0;
    return VirtualProtect(address, kProtectWindow, oldProtect, &unused) != 0;
}

void SetHandbrakePatch(bool engage) {
    const CodeBytes released{kHandbrakeReleased};
    const CodeBytes engaged{kHandbrakeEngaged};
    std::uint8_t* site = controlState.patchSite.load(std::memory_order_acquire);
    if (site != nullptr) {
        std::uint8_t* target = site + offsets::kHandbrakeByteDelta;
        const CodeBytes& from = engage ? released : engaged;
        // The steady state ends at this first compare; only a switch takes the flag, and looks
        // again once it holds it, since another thread may have switched in between.
        if (BytesMatch(from, target) && !patchInProgress.test_and_set(std::memory_order_acquire)) {
            if (BytesMatch(from, target)) {
                WriteCodeBytes(engage ? engaged : released, target);
            }
            patchInProgress.clear(std::memory_order_release);
        }
    }
    // When another thread is mid-switch its write stands; every hook call comes back here, so
    // the next one settles the byte.
    controlState.handbrakeEngaged.store(engage, std::memory_order_relaxed);
}

}  // namespace taviro
