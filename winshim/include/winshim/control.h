// What the testbed sets and observes in the stand-ins: the role the operating system and the
// user play on Windows. Never used by the plugin.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "winshim/windows.h"

namespace winshim {

// Makes [base, base + size) a known, committed region answering GetModuleHandleA(NULL).
// Its pages start as PAGE_READWRITE.
void RegisterImage(void* base, std::size_t size);

// What GetModuleHandleA(NULL) answers from now on; null plays a process whose main module
// cannot be found. RegisterImage sets it to the registered image.
void SetMainModuleForTesting(void* base);

// Key table behind GetKeyState: a held key reads with the high bit set.
void SetKeyDown(int virtualKey, bool down);

// Successful and refused VirtualProtect calls since the start of the process.
std::uint64_t ProtectCallCount();

// After `after` more calls go through, the next `count` VirtualProtect calls are refused with
// ERROR_ACCESS_DENIED.
void RefuseVirtualProtect(int count, int after = 0);

// After `after` more calls go through, the next `count` WritePrivateProfileStringA calls fail
// with ERROR_ACCESS_DENIED and leave the file as it was, as a disk that fills up between two
// writes does.
void RefuseProfileWrites(int count, int after = 0);

// The folder SHGetKnownFolderPath answers for Documents; empty plays a user without one. Until
// set, it is $HOME/Documents.
void SetDocumentsFolder(const std::string& path);

// Whether System32 holds the XInput DLLs (it does until told otherwise). The game's own folder
// always does: LoadLibraryW finds one there, as the game stand-in's load does.
void SetXInputInstalled(bool installed);

// Every library load asked for, in order, with its flags.
struct LibraryLoad {
    std::wstring name;
    DWORD flags;
};
std::vector<LibraryLoad> LibraryLoads();

// No library loaded and none asked for, as in a fresh process.
void ForgetLibraries();

struct MessageBoxRecord {
    std::string text;
    std::string caption;
    UINT type;
};
std::vector<MessageBoxRecord> MessageBoxes();
void ClearMessageBoxes();

}  // namespace winshim

// The stand-in XInput's own exports, also to be had by GetProcAddress from any XInput module, as
// from the stand-in DLL under Wine. TaviroSetPadState gives a slot (0 to 3) a connected pad in
// `state` or none, and returns how often the slot had been asked before; TaviroPadReads says how
// often a slot has been asked, and for slot 4 how often any has.
extern "C" {
DWORD64 TaviroSetPadState(DWORD userIndex, BOOL connected, const XINPUT_STATE* state);
DWORD64 TaviroPadReads(DWORD userIndex);
}
