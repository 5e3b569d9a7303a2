// A stand-in for XInput's XInputGetState, with the controllers in the hands of whoever drives it:
// in the stand-in layer natively, and, built on its own as xinput1_4.dll, the XInput the testbed
// loads under Wine before the plugin, as the game would. The same source both ways, so the plugin
// meets the same controllers in both builds.
//
// Four slots, as XInput has, none connected at the start. A connected slot answers its state with
// ERROR_SUCCESS, an empty one ERROR_DEVICE_NOT_CONNECTED with the state zeroed, as documented.
// Every question is counted per slot, so a driver can tell when the plugin has read a change and
// how often it asks an empty slot.
#ifdef _WIN32
#include <windows.h>
#include <xinput.h>
#else
#include "winshim/control.h"
#include "winshim/windows.h"
#endif

#include <cstring>
#include <mutex>

namespace {

constexpr DWORD kSlots = 4;

struct Slot {
    bool connected = false;
    XINPUT_STATE state{};
    DWORD64 reads = 0;
};

std::mutex slotMutex;
Slot slots[kSlots];  // guarded by slotMutex

}  // namespace

extern "C" {

DWORD WINAPI XInputGetState(DWORD userIndex, XINPUT_STATE* state) {
    if (userIndex >= kSlots || state == nullptr) {
        return ERROR_BAD_ARGUMENTS;
    }
    std::lock_guard lock(slotMutex);
    Slot& slot = slots[userIndex];
    ++slot.reads;
    if (!slot.connected) {
        std::memset(state, 0, sizeof *state);
        return ERROR_DEVICE_NOT_CONNECTED;
    }
    *state = slot.state;
    return ERROR_SUCCESS;
}

// What the slot answers from now on: connected with `state`'s buttons, triggers and sticks, or
// not connected (`state` unused). The packet number moves on with every change, as XInput's does.
// Returns how often the slot had been asked before the change took effect.
DWORD64 WINAPI TaviroSetPadState(DWORD userIndex, BOOL connected, const XINPUT_STATE* state) {
    if (userIndex >= kSlots) {
        return 0;
    }
    std::lock_guard lock(slotMutex);
    Slot& slot = slots[userIndex];
    const DWORD packet = slot.state.dwPacketNumber + 1;
    slot.connected = connected != FALSE;
    slot.state = connected != FALSE && state != nullptr ? *state : XINPUT_STATE{};
    slot.state.dwPacketNumber = packet;
    return slot.reads;
}

// How often XInputGetState has been asked for the slot; for kSlots, for any slot.
DWORD64 WINAPI TaviroPadReads(DWORD userIndex) {
    std::lock_guard lock(slotMutex);
    if (userIndex < kSlots) {
        return slots[userIndex].reads;
    }
    DWORD64 all = 0;
    for (const Slot& slot : slots) {
        all += slot.reads;
    }
    return all;
}

}  // extern "C"
