#include "GamePointers.h"

#include "FormLookup.h"
#include "GameOffsets.h"

namespace taviro {

GamePointers RefreshGamePointers() noexcept {
    GamePointers pointers;
    pointers.patchSite = game::At<std::uint8_t>(offsets::kHandbrakePatchSite);
    pointers.trackedSingleton = game::Read(offsets::kTrackedSingletonGlobal);
    pointers.gameUi = game::Read(offsets::kGameUiGlobal);
    // The activate sink only reacts to activations of this form, which comes with SFBGS004.esm.
    pointers.activationFilterForm =
        LookupFormInFile(kActivationFilterFormId, kActivationFilterFile);
    return pointers;
}

}  // namespace taviro
