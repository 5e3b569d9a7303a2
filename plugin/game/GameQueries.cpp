#include "game/GameQueries.h"

#include "game/GameOffsets.h"

namespace taviro {

namespace {

// Releases the handle on scope exit, whichever way the scope is left.
class GameStringHolder {
public:
    explicit GameStringHolder(const char* text) {
        game::Call(offsets::kStringBuild, &m_handle, text, 0u);
    }
    ~GameStringHolder() {
        if (m_handle.entry != nullptr) {
            game::Call(offsets::kStringRelease, &m_handle);
        }
    }
    GameStringHolder(const GameStringHolder&) = delete;
    GameStringHolder& operator=(const GameStringHolder&) = delete;
    GameString* get() { return &m_handle; }

private:
    GameString m_handle;
};

float QueryTrackedFloat(offsets::FloatQuery query, void* trackedSingleton) {
    if (trackedSingleton == nullptr) {
        return -1.0f;
    }
    void* copy = trackedSingleton;
    float value = 0.0f;
    game::Call(query, &copy, 0u, 0u, &value);
    return value;
}

}  // namespace

bool IsMenuOpenByName(void* gameUi, const char* menuName) {
    GameStringHolder name(menuName);
    return game::Call(offsets::kMenuQuery, gameUi, name.get()) != 0;
}

float QueryTrackedFloat1(void* trackedSingleton) {
    return QueryTrackedFloat(offsets::kFloatQuery1, trackedSingleton);
}

float QueryTrackedFloat2(void* trackedSingleton) {
    return QueryTrackedFloat(offsets::kFloatQuery2, trackedSingleton);
}

bool QueryGameFlag() {
    return game::Call(offsets::kTruthQuery) != 0;
}

}  // namespace taviro
