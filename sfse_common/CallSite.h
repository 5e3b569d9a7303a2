// A 5-byte call site as a plugin must read it before redirecting it, when other plugins may have
// been there first, and the name of the code a call leads to.
//
// Plugins share a call by convention: each reads where the call leads now and calls on to that
// from its own hook, so the game's function still runs once at the end of the chain. A call may
// therefore lead to the game's function, to our own slot (an earlier load of ours), or to another
// plugin's redirect: committed, executable memory outside the game's image. Anything else is
// refused: no call at all, a call elsewhere inside the image (another game build), or a call into
// memory that calling would crash on.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "BranchTrampoline.h"
#include "Win32.h"

namespace sfse_common {

enum class CallSiteKind : std::uint8_t {
    GameFunction,      // a call of the function the site is known to call
    OwnRedirect,       // a call into a slot of our trampoline that jumps to our hook
    OtherRedirect,     // a call into committed, executable memory outside the image
    NotACall,          // refused: the bytes are not E8 rel32
    ElsewhereInImage,  // refused: a call to another place in the image
    NotCommitted,      // refused: a call into free or reserved memory
    NotExecutable,     // refused: a call into committed memory that may not be executed
};

struct CallSiteReading {
    CallSiteKind kind = CallSiteKind::NotACall;
    std::array<std::uint8_t, RelativeCall::kSize> bytes{};  // as found
    std::uintptr_t target = 0;  // where the call leads; 0 when it is no call
    DWORD state = 0;            // the target's page as the system describes it (0: it does not)
    DWORD protect = 0;

    bool Refused() const { return kind >= CallSiteKind::NotACall; }
};

// What the site is expected to hold: the image it lies in, the function it calls there, and the
// redirect of ours it may hold already (our trampoline and the hook its slot jumps to).
struct CallSiteExpectation {
    std::uintptr_t imageBase = 0;
    std::uintptr_t function = 0;
    const BranchTrampoline* trampoline = nullptr;
    std::uintptr_t hook = 0;
};

// Reads the 5 bytes at `site` and classifies them; nothing is written.
[[nodiscard]] CallSiteReading ReadCallSite(std::uintptr_t site,
                                           const CallSiteExpectation& expected);

// Where `address` lies, as a player's helper needs it to find the plugin that put code there:
// "<imageName>+3045F30" inside the image, "OtherPlugin.dll+1A2B0" inside a module, and
// "memory of no module at 0x..." elsewhere. With `followJump`, memory of no module that holds a
// 14-byte absolute jump (a plugin's trampoline slot) is followed one step:
// "OtherPlugin.dll+1A2B0 (through a jump at 0x...)".
[[nodiscard]] std::string NameCode(std::uintptr_t address, std::uintptr_t imageBase,
                                   const char* imageName, bool followJump = true);

// `text`, wide as the system hands out file names, as UTF-8: from its last path separator on
// when `fileNameOnly`. What is no character (a lone surrogate) becomes U+FFFD.
std::string Utf8FromWide(const wchar_t* text, bool fileNameOnly);

}  // namespace sfse_common
