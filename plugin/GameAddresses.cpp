#include "plugin/GameAddresses.h"

#include "Win32.h"
#include "plugin/GameOffsets.h"

namespace taviro {

std::atomic<std::uintptr_t> gameBase{0};
GameStringBuildFn gameStringBuild = nullptr;
GameStringReleaseFn gameStringRelease = nullptr;
LookupFormByIdFn LookupFormById = nullptr;

void ResolveStartupAddresses() {
    gameBase.store(reinterpret_cast<std::uintptr_t>(GetModuleHandleA(nullptr)));
    LookupFormById = game::FunctionAt<void*, std::uint32_t>(offsets::kLookupFormById);
    gameStringBuild =
        game::FunctionAt<void*, GameString*, const char*, std::uint32_t>(offsets::kStringBuild);
    gameStringRelease = game::FunctionAt<void, GameString*>(offsets::kStringRelease);
}

namespace {
// The game image is in place before the host loads any plugin, so this is safe at load time.
[[maybe_unused]] const bool resolvedAtStartup = (ResolveStartupAddresses(), true);
}  // namespace

}  // namespace taviro
