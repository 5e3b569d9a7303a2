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

// The folder SHGetKnownFolderPath answers for Documents; empty plays a user without one. Until
// set, it is $HOME/Documents.
void SetDocumentsFolder(const std::string& path);

struct MessageBoxRecord {
    std::string text;
    std::string caption;
    UINT type;
};
std::vector<MessageBoxRecord> MessageBoxes();
void ClearMessageBoxes();

}  // namespace winshim
