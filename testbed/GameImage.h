// The game's image: at least kImageSize bytes at the process's main-module address, so that the
// plugin's GetModuleHandleA(NULL) + offset arithmetic lands in it. On Windows it is the
// executable itself (a large zero array stretches it); elsewhere a mapped region that the
// stand-in GetModuleHandleA answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "Win32.h"

namespace testbed {

class GameImage {
public:
    static GameImage& Get();

    std::uint8_t* Base() const { return m_base; }
    std::uint8_t* At(std::uintptr_t offset) const { return m_base + offset; }

    template <class T>
    T Read(std::uintptr_t offset) const {
        T value;
        std::memcpy(&value, At(offset), sizeof value);
        return value;
    }

    // Writes into the image whatever the current page protection, restoring it afterwards.
    void Write(std::uintptr_t offset, const void* bytes, std::size_t size);
    void Write(std::uintptr_t offset, std::initializer_list<std::uint8_t> bytes);
    template <class T>
    void WriteValue(std::uintptr_t offset, T value) {
        Write(offset, &value, sizeof value);
    }

    // A game function at `offset`: an absolute jump into one of ours, under the protection the
    // game's code has (execute and read).
    template <class Function>
    void PlaceFunction(std::uintptr_t offset, Function* function) {
        PlaceJump(offset, reinterpret_cast<const void*>(function));
    }
    void PlaceJump(std::uintptr_t offset, const void* target);

    void Protect(std::uintptr_t offset, std::size_t size, DWORD protect);
    DWORD ProtectionAt(std::uintptr_t offset) const;

private:
    GameImage();
    std::uint8_t* m_base = nullptr;
};

}  // namespace testbed
