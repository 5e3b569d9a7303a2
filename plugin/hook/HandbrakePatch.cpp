#include "hook/HandbrakePatch.h"

#include <atomic>

#include "PageProtection.h"
#include "game/GameOffsets.h"

namespace taviro {

namespace {

// Held while one thread reads and rewrites the byte. The hook's busy path patches without
// StateMutex, so two threads can get here at once; the second must neither wait nor interleave
// its protection change with the first one's (it could restore a protection the first one is
// still relying on, or leave the page writable).
std::atomic_flag patchInProgress = ATOMIC_FLAG_INIT;

}  // namespace

bool BytesMatch(std::span<const std::uint8_t> expected, const std::uint8_t* address) {
    if (address == nullptr || expected.empty()) {
        return false;
    }
    bool match = true;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        match = (game::LoadCodeByte(address + i) == expected[i]) && match;
    }
    return match;
}

bool WriteCodeBytes(std::span<const std::uint8_t> bytes, std::uint8_t* address) {
    if (address == nullptr || bytes.empty() || bytes.size() > kProtectWindow) {
        return false;
    }
    sfse_common::ScopedPageProtection writable(address, kProtectWindow, PAGE_EXECUTE_READWRITE);
    if (!writable) {
        return false;
    }
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        game::StoreCodeByte(address + i, bytes[i]);
    }
    return writable.Restore();
}

PatchOutcome SetHandbrakePatch(std::uint8_t* patchSite, bool engage) {
    if (patchSite == nullptr) {
        return PatchOutcome::NoSite;
    }
    std::uint8_t* const target = patchSite + offsets::kHandbrakeByteDelta;
    const std::uint8_t from[] = {engage ? kHandbrakeReleased : kHandbrakeEngaged};
    const std::uint8_t to[] = {engage ? kHandbrakeEngaged : kHandbrakeReleased};

    // The steady state ends here, after a byte read or two.
    if (!BytesMatch(from, target)) {
        return BytesMatch(to, target) ? PatchOutcome::Unchanged : PatchOutcome::Foreign;
    }
    // Only a switch takes the flag, and looks again once it holds it, since another thread may
    // have switched in between. A thread that finds the flag taken leaves the byte to the one
    // holding it; every hook call comes back here, so the next one settles the byte.
    if (patchInProgress.test_and_set(std::memory_order_acquire)) {
        return PatchOutcome::Contended;
    }
    PatchOutcome outcome = PatchOutcome::Unchanged;
    if (BytesMatch(from, target)) {
        // Whether the write went through is read back from the byte itself.
        static_cast<void>(WriteCodeBytes(to, target));
        // A restore the system refused leaves the page writable but the byte written.
        outcome = BytesMatch(to, target) ? PatchOutcome::Switched : PatchOutcome::Refused;
    }
    patchInProgress.clear(std::memory_order_release);
    return outcome;
}

}  // namespace taviro
