// A change of page protection that lasts as long as the object: the constructor asks for the new
// protection over a byte window, the destructor (or an earlier Restore) puts back the old one.
// The window is the caller's: each writer of game code keeps its own.
#pragma once

#include <cstddef>

#include "Win32.h"

namespace sfse_common {

class ScopedPageProtection {
public:
    ScopedPageProtection(void* address, std::size_t size, DWORD protection)
        : m_address(address), m_size(size) {
        m_changed = VirtualProtect(address, size, protection, &m_old) != 0;
        if (!m_changed) {
            m_error = GetLastError();
        }
    }
    ~ScopedPageProtection() { Restore(); }
    ScopedPageProtection(const ScopedPageProtection&) = delete;
    ScopedPageProtection& operator=(const ScopedPageProtection&) = delete;

    // Whether the system granted the new protection; only then may the window be written.
    explicit operator bool() const { return m_changed; }
    // Why it did not, as the system said at the moment of refusal.
    DWORD Error() const { return m_error; }

    // Puts the old protection back now, once; whether the system took it. A change that was
    // refused has nothing to put back and counts as restored.
    bool Restore() {
        if (!m_changed) {
            return true;
        }
        m_changed = false;
        DWORD unused = 0;
        return VirtualProtect(m_address, m_size, m_old, &unused) != 0;
    }

private:
    void* m_address;
    std::size_t m_size;
    DWORD m_old = 0;
    DWORD m_error = 0;
    bool m_changed = false;
};

}  // namespace sfse_common
