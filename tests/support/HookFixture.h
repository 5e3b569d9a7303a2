// The fixture the hook's tests share: the game stand-in's objects in place, the vehicle moving,
// and a snapshot of the decision's state to compare before and after.
#pragma once

#include <cstdint>
#include <ostream>

#include "hook/VehicleUpdateHook.h"
#include "support/GameFixture.h"

namespace taviro::testing {

inline constexpr std::uint64_t kGameResult = testbed::Game::kVehicleUpdateResult;

struct Snapshot {
    std::uint32_t warmupCount;
    std::int32_t windowCount;
    bool activationWindowOpen;
    bool exitWindowOpen;
    std::int32_t engageStage;

    static Snapshot Take() {
        const ControlState& s = controlState;
        return {s.warmupCount, s.windowCount, s.activationWindowOpen, s.exitWindowOpen,
                s.engageStage};
    }
    bool operator==(const Snapshot&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Snapshot& s) {
    return os << "{warmup " << s.warmupCount << ", window " << s.windowCount << ", activation "
              << s.activationWindowOpen << ", exit " << s.exitWindowOpen << ", stage "
              << s.engageStage << "}";
}

class HookTest : public GameFixture {
protected:
    void SetUp() override {
        GameFixture::SetUp();
        vehicle.SetFloat(1.0f);
    }

    // Past the warm-up, nothing open, no window: a call here takes the reset path.
    void EnterDecisionPhase() {
        state.warmupCount = kWarmupCalls;
        state.windowCount = 10;
        state.engageStage = 1;
        game.SetFloat1(0.0f);
    }

    std::uint64_t Call() { return VehicleUpdateHook(&vehicle); }

    testbed::UpdateObject vehicle;
};

}  // namespace taviro::testing
