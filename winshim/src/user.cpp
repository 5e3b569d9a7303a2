#include <array>
#include <atomic>
#include <mutex>

#include "winshim/control.h"
#include "winshim/windows.h"

namespace {
std::array<std::atomic<SHORT>, 256> keys{};
std::mutex boxMutex;
std::vector<winshim::MessageBoxRecord> boxes;
}  // namespace

namespace winshim {

void SetKeyDown(int virtualKey, bool down) {
    if (virtualKey >= 0 && virtualKey < 256) {
        keys[static_cast<std::size_t>(virtualKey)].store(down ? SHORT(-0x8000) : SHORT(0));
    }
}

std::vector<MessageBoxRecord> MessageBoxes() {
    std::lock_guard lock(boxMutex);
    return boxes;
}

void ClearMessageBoxes() {
    std::lock_guard lock(boxMutex);
    boxes.clear();
}

}  // namespace winshim

extern "C" {

SHORT GetKeyState(int virtualKey) {
    if (virtualKey < 0 || virtualKey >= 256) {
        return 0;
    }
    return keys[static_cast<std::size_t>(virtualKey)].load(std::memory_order_relaxed);
}

// Nobody is there to click: the box is recorded and answered with OK.
int MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT type) {
    std::lock_guard lock(boxMutex);
    boxes.push_back({text ? text : "", caption ? caption : "", type});
    return IDOK;
}

}  // extern "C"
