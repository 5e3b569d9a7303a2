#include "tests/support/AllocationCounter.h"

#include <cstdlib>
#include <new>

namespace {
thread_local std::uint64_t t_allocations = 0;
}

namespace taviro::testing {
std::uint64_t ThreadAllocations() { return t_allocations; }
}  // namespace taviro::testing

void* operator new(std::size_t size) {
    ++t_allocations;
    if (void* p = std::malloc(size != 0 ? size : 1)) {
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
