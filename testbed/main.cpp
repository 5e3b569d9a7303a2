// Drives the plugin's handbrake decision through the game stand-in on a default drive and prints
// what it decided, frame by frame.
#include <cstdio>
#include <mutex>

#include "plugin/ControlState.h"
#include "plugin/GameAddresses.h"
#include "plugin/VehicleUpdateHook.h"
#include "testbed/GameRuntime.h"
#include "testbed/GameLayout.h"
#include "testbed/GameImage.h"

namespace {

const char* ByteName(std::uint8_t b) {
    return b == 0x03 ? "engaged" : b == 0x00 ? "released" : "other";
}

}  // namespace

int main() {
    testbed::Game& game = testbed::Game::Get();
    taviro::ResolveStartupAddresses();
    {
        std::lock_guard lock(taviro::StateMutex);
        auto& s = taviro::controlState;
        s.gameUi = game.Ui();
        s.trackedSingleton = game.Tracked();
        s.patchSite.store(testbed::GameImage::Get().At(testbed::layout::kPatchSite));
    }

    testbed::UpdateObject vehicle;
    vehicle.SetFloat(1.0f);
    std::printf("frame  event                    returned            byte      game ran\n");
    for (int frame = 1; frame <= 45; ++frame) {
        const char* event = "";
        if (frame == 32) {
            std::lock_guard lock(taviro::StateMutex);
            taviro::controlState.exitWindowOpen = true;
            taviro::controlState.activationWindowOpen = false;
            taviro::controlState.windowCount = 0;
            event = "player exits vehicle";
            game.SetFloat1(0.0f);
        }
        if (frame == 40) {
            game.SetFloat2(0.0f);
            event = "vehicle comes to rest";
        }
        const auto before = game.Count().vehicleUpdates;
        const std::uint64_t result = taviro::VehicleUpdateHook(&vehicle);
        const bool ran = game.Count().vehicleUpdates != before;
        std::printf("%5d  %-23s  0x%016llx  %-8s  %s\n", frame, event,
                    static_cast<unsigned long long>(result), ByteName(game.HandbrakeByte()),
                    ran ? "yes" : "no");
    }
    return 0;
}
