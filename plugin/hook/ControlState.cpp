#include "hook/ControlState.h"

namespace taviro {

ControlState controlState;
std::recursive_mutex StateMutex;

}  // namespace taviro
