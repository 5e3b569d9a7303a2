#include "game/GamePointers.h"

#include "game/FormLookup.h"
#include "game/GameOffsets.h"
#include "log/Log.h"

namespace taviro {

GamePointers RefreshGamePointers() noexcept {
    GamePointers pointers;
    pointers.patchSite = game::At<std::uint8_t>(offsets::kHandbrakePatchSite);
    pointers.trackedSingleton = game::Read(offsets::kTrackedSingletonGlobal);
    pointers.gameUi = game::Read(offsets::kGameUiGlobal);
    // The activate sink only reacts to activations of this form, which comes with SFBGS004.esm.
    pointers.activationFilterForm =
        LookupFormInFile(kActivationFilterFormId, kActivationFilterFile);
    DataFileKind kind = DataFileKind::None;
    pointers.filterFileLoaded = FindDataFile(kActivationFilterFile, kind) != nullptr;
    return pointers;
}

void LogGamePointers(const GamePointers& pointers) {
    const char* filter = pointers.activationFilterForm != nullptr ? "its form 017 found"
                         : pointers.filterFileLoaded
                             ? "but its form 017 is missing, so activations open no window"
                             : "not loaded, so activations open no window";
    log::Info("game: UI %s; tracked object %s; %s %s%s",
              pointers.gameUi != nullptr ? "present" : "not there yet (the hook waits for it)",
              pointers.trackedSingleton != nullptr ? "present" : "not there yet",
              kActivationFilterFile, pointers.filterFileLoaded ? "loaded, " : "", filter);
}

}  // namespace taviro
