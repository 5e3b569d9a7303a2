// The game's call of its vehicle update, which the plugin takes over: read before anything is
// written, chained onto when another plugin redirected it first, and read again at data loaded
// and every game load, when a plugin loaded later may have taken it in turn. The plugin writes
// the call once and never takes it back.
#pragma once

#include <cstdint>
#include <string>

#include "CallSite.h"

namespace taviro {

// The call as it stands, against the game's own function and the plugin's own redirect.
[[nodiscard]] sfse_common::CallSiteReading ReadVehicleUpdateCall();

// Why the call cannot be taken: a whole sentence for the host's report, and a few words for the
// line that refuses the load.
struct RefusedCallWords {
    std::string report;
    const char* reason;
};
[[nodiscard]] RefusedCallWords DescribeRefusedCall(const sfse_common::CallSiteReading& reading);

// What taking the call came to.
enum class [[nodiscard]] CallTaken : std::uint8_t{
    Redirected,         // the call leads through the trampoline to the hook
    LeftToLaterPlugin,  // a plugin loaded later took it from our own redirect; it stays theirs
    NotWritable,        // the system refused to make the game's code writable; nothing changed
};

// Redirects the call through a slot of the trampoline, which must exist, to the hook. What the
// call led to is recorded first for the hook to call on to, and the log names it when it is
// another plugin's. A call that a later plugin has taken from the plugin's own redirect is left
// as it is: taking it back would chain the hook onto itself.
CallTaken TakeVehicleUpdateCall(const sfse_common::CallSiteReading& reading);

// Runs what the game's vehicle update call led to before the hook took it over: the game's own
// function, or another plugin's hook that calls on to it in turn. The game's own until the call
// is taken.
std::uint64_t CallOnVehicleUpdate(void* updateObject);

// Records what CallOnVehicleUpdate goes on to (0: the game's own function), as taking the call
// does: before the redirect, since a game thread may run the hook the moment the call changes.
void RecordVehicleUpdateTarget(std::uintptr_t target);

// Reads the call again. When it no longer leads to the hook, the log says where it leads now,
// once for each new target.
void RecheckVehicleUpdateCall();

}  // namespace taviro
