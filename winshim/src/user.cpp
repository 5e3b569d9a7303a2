#include <array>
#include <atomic>
#include <mutex>

#include "winshim/control.h"
#include "winshim/windows.h"

namespace {
std::array<std::atomic<SHORT>, 256> g_keys{};
std::mutex g_boxMutex;
std::vector<winshim::MessageBoxRecord> g_boxes;
}  // namespace

namespace winshim {

void SetKeyDown(int virtualKey, bool down) {
    if (virtualKey >= 0 && virtualKey < 256) {
        g_keys[static_cast<std::size_t>(virtualKey)].store(down ? SHORT(-0x8000) : SHORT(0));
    }
}

void ClearKeys() {
    for (auto& k : g_keys) {
        k.store(0);
    }
}

std::vector<MessageBoxRecord> MessageBoxes() {
    std::lock_guard lock(g_boxMutex);
    return g_boxes;
}

void ClearMessageBoxes() {
    std::lock_guard lock(g_boxMutex);
    g_boxes.clear();
}

}  // namespace winshim

extern "C" {

SHORT GetKeyState(int virtualKey) {
    if (virtualKey < 0 || virtualKey >= 256) {
        return 0;
    }
    return g_keys[static_cast<std::size_t>(virtualKey)].load(std::memory_order_relaxed);
}

// Nobody is there to click: the box is recorded and answered with OK.
int MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT type) {
    std::lock_guard lock(g_boxMutex);
    g_boxes.push_back({text ? text : "", caption ? caption : "", type});
    return IDOK;
}

}  // extern "C"
