#include "GameImage.h"

#include <cstdio>
#include <cstdlib>

#include "AbsoluteJump.h"
#include "GameLayout.h"

#ifdef _WIN32
namespace {
// Stretches this executable's image past the highest offset the plugin reaches. It lives in
// .bss, so it costs address space only.
alignas(0x1000) unsigned char imageArea[testbed::layout::kImageSize];
}  // namespace
#else
#include <sys/mman.h>

#include "winshim/control.h"
#endif

namespace testbed {

namespace {
[[noreturn]] void Die(const char* why) {
    std::fprintf(stderr, "testbed: %s\n", why);
    std::abort();
}
}  // namespace

GameImage& GameImage::Get() {
    static GameImage image;
    return image;
}

GameImage::GameImage() {
#ifdef _WIN32
    m_base = reinterpret_cast<std::uint8_t*>(GetModuleHandleA(nullptr));
    const auto area = reinterpret_cast<std::uintptr_t>(imageArea);
    const auto base = reinterpret_cast<std::uintptr_t>(m_base);
    if (area > base + layout::kLowestOffsetUsed ||
        area + sizeof imageArea < base + layout::kImageSize) {
        Die("the executable's image does not cover the game's offsets");
    }
#else
    // Leave room below the image, as there is below the game's, for the plugin's trampoline.
    constexpr std::size_t kRoomBelow = 0x2000000;
    void* p = mmap(nullptr, kRoomBelow + layout::kImageSize, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) {
        Die("cannot map the game image");
    }
    munmap(p, kRoomBelow);
    m_base = static_cast<std::uint8_t*>(p) + kRoomBelow;
    winshim::RegisterImage(m_base, layout::kImageSize);
#endif
}

void GameImage::Write(std::uintptr_t offset, const void* bytes, std::size_t size) {
    DWORD old = 0;
    if (!VirtualProtect(At(offset), size, PAGE_EXECUTE_READWRITE, &old)) {
        Die("VirtualProtect refused a write into the game image");
    }
    std::memcpy(At(offset), bytes, size);
    DWORD unused = 0;
    VirtualProtect(At(offset), size, old, &unused);
}

void GameImage::Write(std::uintptr_t offset, std::initializer_list<std::uint8_t> bytes) {
    Write(offset, bytes.begin(), bytes.size());
}

void GameImage::PlaceJump(std::uintptr_t offset, const void* target) {
    const sfse_common::AbsoluteJump jump =
        sfse_common::AbsoluteJump::To(reinterpret_cast<std::uintptr_t>(target));
    Write(offset, &jump, sizeof jump);
    Protect(offset, sizeof jump, PAGE_EXECUTE_READ);
}

void GameImage::Protect(std::uintptr_t offset, std::size_t size, DWORD protect) {
    DWORD old = 0;
    if (!VirtualProtect(At(offset), size, protect, &old)) {
        Die("VirtualProtect refused a protection change in the game image");
    }
}

DWORD GameImage::ProtectionAt(std::uintptr_t offset) const {
    MEMORY_BASIC_INFORMATION info{};
    if (VirtualQuery(At(offset), &info, sizeof info) == 0) {
        return 0;
    }
    return info.Protect;
}

}  // namespace testbed
