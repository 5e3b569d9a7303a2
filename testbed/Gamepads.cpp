#include "Gamepads.h"

#include <chrono>
#include <thread>

#include "PluginHost.h"

namespace testbed {

namespace {

// Through the one function type every other converts to and from without complaint.
template <class Function>
Function Export(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

constexpr int kStickAll = 32767;

}  // namespace

Gamepads& Gamepads::Get() {
    static Gamepads gamepads;
    return gamepads;
}

bool Gamepads::Load() {
    if (m_setPadState != nullptr) {
        return true;
    }
#ifdef _WIN32
    HMODULE module = LoadLibraryA(WindowsPath(TAVIRO_XINPUT_STANDIN).c_str());
#else
    HMODULE module = LoadLibraryW(L"xinput1_4.dll");
#endif
    if (module == nullptr) {
        m_error =
            "the game's XInput cannot be loaded (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    m_setPadState = Export<SetPadState>(module, "TaviroSetPadState");
    m_padReads = Export<PadReads>(module, "TaviroPadReads");
    if (m_setPadState == nullptr || m_padReads == nullptr) {
        m_setPadState = nullptr;
        m_error =
            "the game's XInput is not the stand-in (under Wine, WINEDLLOVERRIDES must prefer a "
            "native xinput1_4, as scripts/wine-run.sh does)";
        return false;
    }
    Reset();
    return true;
}

void Gamepads::Reset() {
    for (int slot = 0; slot < kSlots; ++slot) {
        m_connected[slot] = false;
        m_state[slot] = {};
        Publish(slot);
    }
}

void Gamepads::Publish(int slot) {
    if (m_setPadState != nullptr) {
        m_readsBeforeChange[slot] = m_setPadState(static_cast<DWORD>(slot),
                                                  m_connected[slot] ? TRUE : FALSE, &m_state[slot]);
    }
}

void Gamepads::Connect(int slot, bool connected) {
    m_connected[slot] = connected;
    m_state[slot] = {};
    Publish(slot);
}

bool Gamepads::SetButton(int slot, int code, bool down) {
    // What each code moves on an Xbox pad: a button's bit, or a trigger or a stick's axis (with
    // the direction that holds it).
    enum class Part { Button, LeftTrigger, RightTrigger, LeftX, LeftY, RightX, RightY };
    struct Control {
        int code;
        Part part;
        int value;  // the button's bit, or the axis' direction
    };
    static constexpr Control kControls[] = {
        {VK_GAMEPAD_A, Part::Button, XINPUT_GAMEPAD_A},
        {VK_GAMEPAD_B, Part::Button, XINPUT_GAMEPAD_B},
        {VK_GAMEPAD_X, Part::Button, XINPUT_GAMEPAD_X},
        {VK_GAMEPAD_Y, Part::Button, XINPUT_GAMEPAD_Y},
        {VK_GAMEPAD_RIGHT_SHOULDER, Part::Button, XINPUT_GAMEPAD_RIGHT_SHOULDER},
        {VK_GAMEPAD_LEFT_SHOULDER, Part::Button, XINPUT_GAMEPAD_LEFT_SHOULDER},
        {VK_GAMEPAD_LEFT_TRIGGER, Part::LeftTrigger, 1},
        {VK_GAMEPAD_RIGHT_TRIGGER, Part::RightTrigger, 1},
        {VK_GAMEPAD_DPAD_UP, Part::Button, XINPUT_GAMEPAD_DPAD_UP},
        {VK_GAMEPAD_DPAD_DOWN, Part::Button, XINPUT_GAMEPAD_DPAD_DOWN},
        {VK_GAMEPAD_DPAD_LEFT, Part::Button, XINPUT_GAMEPAD_DPAD_LEFT},
        {VK_GAMEPAD_DPAD_RIGHT, Part::Button, XINPUT_GAMEPAD_DPAD_RIGHT},
        {VK_GAMEPAD_MENU, Part::Button, XINPUT_GAMEPAD_START},
        {VK_GAMEPAD_VIEW, Part::Button, XINPUT_GAMEPAD_BACK},
        {VK_GAMEPAD_LEFT_THUMBSTICK_BUTTON, Part::Button, XINPUT_GAMEPAD_LEFT_THUMB},
        {VK_GAMEPAD_RIGHT_THUMBSTICK_BUTTON, Part::Button, XINPUT_GAMEPAD_RIGHT_THUMB},
        {VK_GAMEPAD_LEFT_THUMBSTICK_UP, Part::LeftY, 1},
        {VK_GAMEPAD_LEFT_THUMBSTICK_DOWN, Part::LeftY, -1},
        {VK_GAMEPAD_LEFT_THUMBSTICK_RIGHT, Part::LeftX, 1},
        {VK_GAMEPAD_LEFT_THUMBSTICK_LEFT, Part::LeftX, -1},
        {VK_GAMEPAD_RIGHT_THUMBSTICK_UP, Part::RightY, 1},
        {VK_GAMEPAD_RIGHT_THUMBSTICK_DOWN, Part::RightY, -1},
        {VK_GAMEPAD_RIGHT_THUMBSTICK_RIGHT, Part::RightX, 1},
        {VK_GAMEPAD_RIGHT_THUMBSTICK_LEFT, Part::RightX, -1},
    };
    XINPUT_GAMEPAD& pad = m_state[slot].Gamepad;
    for (const Control& c : kControls) {
        if (c.code != code) {
            continue;
        }
        const auto bit = static_cast<WORD>(c.value);
        const auto stick = static_cast<SHORT>(down ? c.value * kStickAll : 0);
        const BYTE trigger = down ? 255 : 0;
        switch (c.part) {
            case Part::Button:
                pad.wButtons = static_cast<WORD>(down ? pad.wButtons | bit : pad.wButtons & ~bit);
                break;
            case Part::LeftTrigger:
                pad.bLeftTrigger = trigger;
                break;
            case Part::RightTrigger:
                pad.bRightTrigger = trigger;
                break;
            case Part::LeftX:
                pad.sThumbLX = stick;
                break;
            case Part::LeftY:
                pad.sThumbLY = stick;
                break;
            case Part::RightX:
                pad.sThumbRX = stick;
                break;
            case Part::RightY:
                pad.sThumbRY = stick;
                break;
        }
        Publish(slot);
        return true;
    }
    return false;
}

bool Gamepads::AwaitRead(int slot) {
    using Clock = std::chrono::steady_clock;
    constexpr auto kSilence = std::chrono::milliseconds(1500);
    if (m_padReads == nullptr) {
        return false;
    }
    const auto since = m_readsBeforeChange[slot];
    DWORD64 anyReads = m_padReads(kSlots);
    auto lastRead = Clock::now();
    while (m_padReads(static_cast<DWORD>(slot)) < since + 2) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const DWORD64 now = m_padReads(kSlots);
        if (now != anyReads) {
            anyReads = now;
            lastRead = Clock::now();
        } else if (Clock::now() - lastRead > kSilence) {
            return false;
        }
    }
    return true;
}

}  // namespace testbed
