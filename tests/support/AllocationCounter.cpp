#include "support/AllocationCounter.h"

#include <cstddef>
#include <cstdlib>
#include <new>

#if defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
#define TAVIRO_SANITIZED 1
#endif
#endif

namespace {
thread_local std::uint64_t t_allocations = 0;
}

namespace taviro::testing {
std::uint64_t ThreadAllocations() {
    return t_allocations;
}
}  // namespace taviro::testing

#ifdef TAVIRO_SANITIZED
// The sanitizer runtimes own operator new; they report every heap allocation to this hook.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*mallocHook)(const volatile void*,
                                                                            std::size_t),
                                                         void (*freeHook)(const volatile void*));

namespace {
void CountAllocation(const volatile void*, std::size_t) {
    ++t_allocations;
}
void IgnoreFree(const volatile void*) {}
[[maybe_unused]] const int installed =
    __sanitizer_install_malloc_and_free_hooks(&CountAllocation, &IgnoreFree);
}  // namespace
#else
void* operator new(std::size_t size) {
    ++t_allocations;
    if (void* p = std::malloc(size != 0 ? size : 1)) {
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
#endif
