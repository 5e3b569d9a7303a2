// Switches the handbrake byte inside the game's vehicle update between released (0x00) and
// engaged (0x03), touching game code only when the byte actually has to change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace taviro {

inline constexpr std::uint8_t kHandbrakeReleased = 0x00;
inline constexpr std::uint8_t kHandbrakeEngaged = 0x03;

// Bytes from the written address whose protection is lifted for a write: covers the page, or
// the two pages, holding any sequence we write, which is therefore never longer.
inline constexpr std::size_t kProtectWindow = 200;

// True when every byte of `expected` is at `address` onwards. Null address or empty sequence:
// false. Reads code directly; code pages are readable.
[[nodiscard]] bool BytesMatch(std::span<const std::uint8_t> expected, const std::uint8_t* address);

// Writes `bytes` at `address` under a temporary PAGE_EXECUTE_READWRITE over kProtectWindow
// bytes. False when nothing could be written (null address, an empty sequence or one longer than
// the window, the protection refused) or the old protection could not be restored.
[[nodiscard]] bool WriteCodeBytes(std::span<const std::uint8_t> bytes, std::uint8_t* address);

enum class [[nodiscard]] PatchOutcome{
    NoSite,     // no patch site known yet: nothing read or written
    Unchanged,  // the byte already held the wanted value
    Switched,   // the byte was rewritten
    Refused,    // the system refused to make the code writable; the byte is as it was
    Contended,  // another thread was switching the byte; its write stands
    Foreign,    // the byte holds neither value, so it is not the code this plugin knows
};

// Engaged: 0x00 becomes 0x03. Released: 0x03 becomes 0x00. Any other byte is left alone. The
// byte lies kHandbrakeByteDelta past `patchSite`. Never waits.
PatchOutcome SetHandbrakePatch(std::uint8_t* patchSite, bool engage);

}  // namespace taviro
