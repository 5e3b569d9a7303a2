// Another program holding a file open with no sharing, as editors and sync or scan tools do for
// a moment: no one else can open the file until the holder lets go. Windows' own share modes on
// Windows and under Wine, the stand-in layer's natively.
#pragma once

#include <filesystem>
#include <string>

#include "FilePath.h"
#include "Win32.h"

namespace taviro::testing {

inline std::wstring WidePath(const std::filesystem::path& path) {
#ifdef _WIN32
    return path.wstring();
#else
    return platform::Wide(path.string());
#endif
}

class HeldFile {
public:
    explicit HeldFile(const std::filesystem::path& file)
        : m_handle(CreateFileW(WidePath(file).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~HeldFile() { LetGo(); }
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;

    bool Held() const { return m_handle != INVALID_HANDLE_VALUE; }

    // The whole file written anew through the holder's handle, as a tool that holds it saves.
    bool Write(const std::string& text) const {
        LARGE_INTEGER start{};
        DWORD written = 0;
        return SetFilePointerEx(m_handle, start, nullptr, FILE_BEGIN) &&
               WriteFile(m_handle, text.data(), static_cast<DWORD>(text.size()), &written,
                         nullptr) &&
               written == text.size() && SetEndOfFile(m_handle);
    }

    void LetGo() {
        if (Held()) {
            CloseHandle(m_handle);
            m_handle = INVALID_HANDLE_VALUE;
        }
    }

private:
    HANDLE m_handle;
};

}  // namespace taviro::testing
