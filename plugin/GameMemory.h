// The one way the plugin reaches game memory: typed reads of a field at a byte offset, and calls
// of a game function at an offset from the image base with the game's calling convention.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

// The game is built for the Windows x64 convention. Native builds use it too, so the testbed
// exercises the same register assignment the game's call sites use.
#if defined(__x86_64__) || defined(_M_X64)
#define GAME_CALL __attribute__((ms_abi))
#else
#error "Taviro targets x86-64 only"
#endif

namespace taviro {

// Image base of Starfield.exe; set at start-up and again by the load entry.
extern std::atomic<std::uintptr_t> gameBase;

namespace game {

template <class R, class... Args>
using Function = R(GAME_CALL*)(Args...);

inline std::uintptr_t Address(std::uintptr_t offset) {
    return gameBase.load(std::memory_order_relaxed) + offset;
}

template <class T>
T* At(std::uintptr_t offset) {
    return reinterpret_cast<T*>(Address(offset));
}

// Reads a T at `object + offset`; the object is a game object whose layout the game defines.
template <class T>
T Read(const void* object, std::ptrdiff_t offset) {
    T value;
    std::memcpy(&value, static_cast<const std::uint8_t*>(object) + offset, sizeof(T));
    return value;
}

template <class T>
T ReadGlobal(std::uintptr_t offset) {
    return Read<T>(reinterpret_cast<const void*>(Address(offset)), 0);
}

template <class R, class... Args>
Function<R, Args...> FunctionAt(std::uintptr_t offset) {
    return reinterpret_cast<Function<R, Args...>>(Address(offset));
}

template <class R, class... Args>
R Call(std::uintptr_t offset, Args... args) {
    return FunctionAt<R, Args...>(offset)(args...);
}

}  // namespace game
}  // namespace taviro

namespace taviro::game {

// Calls slot `slot` of a game object's virtual table, the object itself being the first argument
// as in the game's own virtual calls.
template <class R, class... Args>
R CallVirtual(void* object, std::size_t slot, Args... args) {
    void* const* table = Read<void* const*>(object, 0);
    auto fn = reinterpret_cast<Function<R, void*, Args...>>(table[slot]);
    return fn(object, args...);
}

}  // namespace taviro::game
