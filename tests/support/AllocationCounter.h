// Counts heap allocations made by the calling thread through the global operator new. Link
// AllocationCounter.cpp into the test program that uses it.
#pragma once

#include <cstdint>

namespace taviro::testing {
std::uint64_t ThreadAllocations();
}
