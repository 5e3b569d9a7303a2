// The one way the plugin reaches game memory: typed reads of a field at a byte offset, texts
// compared where they lie, reads of the game's globals, the atomic access to bytes of the game's
// code, and calls of game functions with the signatures the offset table gives.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

// The game is built for the Windows x64 convention. Native builds use it too, so the testbed
// exercises the same register assignment the game's call sites use.
#if defined(__x86_64__) || defined(_M_X64)
#define GAME_CALL __attribute__((ms_abi))
#else
#error "Taviro targets x86-64 only"
#endif

namespace taviro {

// Image base of Starfield.exe, set by the load entry before it redirects anything; nothing of
// the game is reached before that.
extern std::atomic<std::uintptr_t> gameBase;

// The game's one-pointer string handle. Built and released only by the game's own functions.
struct GameString {
    void* entry = nullptr;
};

namespace game {

// A function of the game: where it lies in the image and the signature it is called with, tied
// together once so that no caller can pass it anything else.
template <class Signature>
struct Function;
template <class R, class... Args>
struct Function<R(Args...)> {
    using Pointer = R(GAME_CALL*)(Args...);
    std::uintptr_t offset;
};

// A global of the game holding a T.
template <class T>
struct Global {
    std::uintptr_t offset;
};

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

// Whether the zero-terminated text at `object + offset` is `text`, compared where it lies: nothing
// is copied, and nothing is read past the first byte that differs, so a text longer than
// `text` is read no further than one byte past its length.
inline bool TextIs(const void* object, std::ptrdiff_t offset, std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (Read<char>(object, offset + static_cast<std::ptrdiff_t>(i)) != text[i]) {
            return false;
        }
    }
    return Read<char>(object, offset + static_cast<std::ptrdiff_t>(text.size())) == '\0';
}

// A byte of the game's code that another thread of ours may read or rewrite at the same moment:
// byte-wide atomic access keeps that well defined and compiles to plain moves.
inline std::uint8_t LoadCodeByte(const std::uint8_t* address) {
    return std::atomic_ref<std::uint8_t>(*const_cast<std::uint8_t*>(address))
        .load(std::memory_order_relaxed);
}

inline void StoreCodeByte(std::uint8_t* address, std::uint8_t value) {
    std::atomic_ref<std::uint8_t>(*address).store(value, std::memory_order_relaxed);
}

template <class T>
T Read(Global<T> global) {
    return Read<T>(reinterpret_cast<const void*>(Address(global.offset)), 0);
}

template <class R, class... Args>
typename Function<R(Args...)>::Pointer Resolve(Function<R(Args...)> function) {
    return reinterpret_cast<typename Function<R(Args...)>::Pointer>(Address(function.offset));
}

template <class R, class... Args, class... Passed>
R Call(Function<R(Args...)> function, Passed&&... args) {
    return Resolve(function)(static_cast<Args>(args)...);
}

// Calls the code at `address` as the game calls `function`: where a call of the game's that
// another plugin redirected first leads, which takes what the game's function takes.
template <class R, class... Args, class... Passed>
R CallAt(Function<R(Args...)>, std::uintptr_t address, Passed&&... args) {
    return reinterpret_cast<typename Function<R(Args...)>::Pointer>(address)(
        static_cast<Args>(args)...);
}

// Calls slot `slot` of a game object's virtual table, the object itself being the first argument
// as in the game's own virtual calls.
template <class R, class... Args>
R CallVirtual(void* object, std::size_t slot, Args... args) {
    using Slot = R(GAME_CALL*)(void*, Args...);
    void* const* table = Read<void* const*>(object, 0);
    return reinterpret_cast<Slot>(table[slot])(object, args...);
}

}  // namespace game
}  // namespace taviro
