#include "plugin/GameQueries.h"

#include "plugin/ControlState.h"
#include "plugin/GameAddresses.h"
#include "plugin/GameOffsets.h"

namespace taviro {

namespace {

using MenuQueryFn = game::Function<std::uint8_t, void*, GameString*>;

// Releases the handle on scope exit, whichever way the scope is left.
class GameStringHolder {
public:
    explicit GameStringHolder(const char* text) { gameStringBuild(&handle_, text, 0); }
    ~GameStringHolder() {
        if (handle_.entry != nullptr) {
            gameStringRelease(&handle_);
        }
    }
    GameStringHolder(const GameStringHolder&) = delete;
    GameStringHolder& operator=(const GameStringHolder&) = delete;
    GameString* get() { return &handle_; }

private:
    GameString handle_;
};

float QueryTrackedFloat(std::uintptr_t offset) {
    void* tracked = controlState.trackedSingleton;
    float value = 0.0f;
    game::FunctionAt<void, void**, std::uint64_t, std::uint64_t, float*>(offset)(&tracked, 0, 0,
                                                                                 &value);
    return value;
}

}  // namespace

std::uint64_t GameVehicleUpdate(void* updateObject) {
    return game::Call<std::uint64_t, void*>(offsets::kVehicleUpdate, updateObject);
}

bool IsMenuOpenByName(const char* menuName) {
    static const MenuQueryFn isMenuOpen =
        game::FunctionAt<std::uint8_t, void*, GameString*>(offsets::kIsMenuOpen);
    GameStringHolder name(menuName);
    return isMenuOpen(controlState.gameUi, name.get()) != 0;
}

float QueryTrackedFloat1() {
    if (controlState.trackedSingleton == nullptr) {
        return -1.0f;
    }
    return QueryTrackedFloat(offsets::kTrackedFloatQuery1);
}

bool CheckExitWindow() {
    if (controlState.trackedSingleton == nullptr) {
        return controlState.exitWindowOpen;
    }
    if (QueryTrackedFloat(offsets::kTrackedFloatQuery2) == 0.0f) {
        controlState.exitWindowOpen = false;
        return false;
    }
    return controlState.exitWindowOpen;
}

bool QueryGameFlag() {
    return game::Call<std::uint64_t>(offsets::kGameFlagQuery) != 0;
}

}  // namespace taviro
