#include "game/GameMemory.h"

namespace taviro {

std::atomic<std::uintptr_t> gameBase{0};

}  // namespace taviro
