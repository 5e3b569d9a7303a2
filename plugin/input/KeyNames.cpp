#include "input/KeyNames.h"

#include <array>
#include <iterator>
#include <string>

#include "input/GamepadReader.h"
#include "util/AsciiCase.h"

namespace taviro {

namespace {

struct NamedKey {
    const char* name;
    std::uint8_t code;
};

// By kind; the first name of a code is the one the log shows. Letters, digits, F1 to F24 and
// the numeric pad's digits are named by rule below.
// clang-format off
constexpr NamedKey kNamedKeys[] = {
    // Mouse buttons.
    {"Mouse1", 0x01}, {"Mouse2", 0x02}, {"Mouse3", 0x04}, {"Mouse4", 0x05}, {"Mouse5", 0x06},
    {"MiddleMouse", 0x04},
    // Modifiers, either side and each side.
    {"Shift", 0x10}, {"Ctrl", 0x11}, {"Control", 0x11}, {"Alt", 0x12},
    {"LShift", 0xA0}, {"RShift", 0xA1}, {"LCtrl", 0xA2}, {"RCtrl", 0xA3}, {"LAlt", 0xA4},
    {"RAlt", 0xA5}, {"LeftShift", 0xA0}, {"RightShift", 0xA1}, {"LeftCtrl", 0xA2},
    {"RightCtrl", 0xA3}, {"LeftAlt", 0xA4}, {"RightAlt", 0xA5},
    // Typing and locks.
    {"Backspace", 0x08}, {"Tab", 0x09}, {"Enter", 0x0D}, {"Return", 0x0D}, {"Pause", 0x13},
    {"CapsLock", 0x14}, {"Escape", 0x1B}, {"Esc", 0x1B}, {"Space", 0x20}, {"NumLock", 0x90},
    {"ScrollLock", 0x91},
    // Navigation.
    {"PageUp", 0x21}, {"PageDown", 0x22}, {"End", 0x23}, {"Home", 0x24}, {"Left", 0x25},
    {"Up", 0x26}, {"Right", 0x27}, {"Down", 0x28}, {"Insert", 0x2D}, {"Delete", 0x2E},
    // The numeric pad's operators.
    {"Multiply", 0x6A}, {"Add", 0x6B}, {"Subtract", 0x6D}, {"Decimal", 0x6E}, {"Divide", 0x6F},
};
// clang-format on

// The controller's buttons, by Windows' gamepad codes: the name the log shows, the rest of the
// SDK's name after VK_GAMEPAD_, and a name players also use. Names are matched without regard to
// case, blanks, hyphens and underscores ("D-pad Up", "DPAD_UP", "dpadup").
struct PadButton {
    const char* shown;
    const char* sdk;
    const char* alias;
};
// clang-format off
constexpr PadButton kPadButtons[] = {
    {"A", "A", "PadA"}, {"B", "B", "PadB"}, {"X", "X", "PadX"}, {"Y", "Y", "PadY"},
    {"RB", "RIGHT_SHOULDER", "R1"}, {"LB", "LEFT_SHOULDER", "L1"},
    {"LT", "LEFT_TRIGGER", "L2"}, {"RT", "RIGHT_TRIGGER", "R2"},
    {"D-pad Up", "DPAD_UP", "DpadUp"}, {"D-pad Down", "DPAD_DOWN", "DpadDown"},
    {"D-pad Left", "DPAD_LEFT", "DpadLeft"}, {"D-pad Right", "DPAD_RIGHT", "DpadRight"},
    {"Menu", "MENU", "Start"}, {"View", "VIEW", "Back"},
    {"LS", "LEFT_THUMBSTICK_BUTTON", "L3"}, {"RS", "RIGHT_THUMBSTICK_BUTTON", "R3"},
    {"Left stick Up", "LEFT_THUMBSTICK_UP", nullptr},
    {"Left stick Down", "LEFT_THUMBSTICK_DOWN", nullptr},
    {"Left stick Right", "LEFT_THUMBSTICK_RIGHT", nullptr},
    {"Left stick Left", "LEFT_THUMBSTICK_LEFT", nullptr},
    {"Right stick Up", "RIGHT_THUMBSTICK_UP", nullptr},
    {"Right stick Down", "RIGHT_THUMBSTICK_DOWN", nullptr},
    {"Right stick Right", "RIGHT_THUMBSTICK_RIGHT", nullptr},
    {"Right stick Left", "RIGHT_THUMBSTICK_LEFT", nullptr},
};
// clang-format on
static_assert(std::size(kPadButtons) == gamepad::kLastCode - gamepad::kFirstCode + 1);

// A name as pad names are compared: lower case, without blanks, hyphens and underscores.
std::string Squeezed(std::string_view name) {
    std::string squeezed;
    for (const char c : name) {
        if (c != ' ' && c != '\t' && c != '-' && c != '_') {
            squeezed += LowerAscii(c);
        }
    }
    return squeezed;
}

std::optional<std::uint8_t> PadButtonByName(std::string_view name) {
    const std::string wanted = Squeezed(name);
    for (std::size_t i = 0; i < std::size(kPadButtons); ++i) {
        const PadButton& b = kPadButtons[i];
        if (wanted == Squeezed(b.shown) || wanted == "vkgamepad" + Squeezed(b.sdk) ||
            (b.alias != nullptr && wanted == Squeezed(b.alias))) {
            return static_cast<std::uint8_t>(gamepad::kFirstCode + i);
        }
    }
    return std::nullopt;
}

// Keys named by a word and a number: F1 to F24 and the numeric pad's Numpad0 to Numpad9.
struct NumberedFamily {
    std::string_view word;
    int first;
    int last;
    std::uint8_t firstCode;
};
constexpr NumberedFamily kNumberedFamilies[] = {
    {"F", 1, 24, 0x70},
    {"Numpad", 0, 9, 0x60},
};

// A number of one or two decimal digits; -1 for anything else.
int SmallNumber(std::string_view digits) {
    if (digits.empty() || digits.size() > 2) {
        return -1;
    }
    int value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return -1;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

// A letter, a digit, or a name of a numbered family.
std::optional<std::uint8_t> NumberedKey(std::string_view name) {
    if (name.size() == 1) {
        const char c = name[0];
        if (c >= 'a' && c <= 'z') {
            return static_cast<std::uint8_t>(c - 'a' + 'A');
        }
        if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
            return static_cast<std::uint8_t>(c);
        }
        return std::nullopt;
    }
    for (const NumberedFamily& family : kNumberedFamilies) {
        if (name.size() > family.word.size() &&
            EqualIgnoringAsciiCase(name.substr(0, family.word.size()), family.word)) {
            const int n = SmallNumber(name.substr(family.word.size()));
            if (n >= family.first && n <= family.last) {
                return static_cast<std::uint8_t>(family.firstCode + n - family.first);
            }
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::uint8_t> KeyCodeByName(std::string_view name) {
    if (const auto numbered = NumberedKey(name)) {
        return numbered;
    }
    for (const NamedKey& key : kNamedKeys) {
        if (EqualIgnoringAsciiCase(name, key.name)) {
            return key.code;
        }
    }
    // After the keyboard's: a lone A is the letter, as on the keyboard's own list.
    return PadButtonByName(name);
}

const char* KeyName(std::uint32_t code) {
    static const std::array<std::string, 256> names = [] {
        std::array<std::string, 256> table;
        for (char c = 'A'; c <= 'Z'; ++c) {
            table[static_cast<std::uint8_t>(c)] = std::string(1, c);
        }
        for (char c = '0'; c <= '9'; ++c) {
            table[static_cast<std::uint8_t>(c)] = std::string(1, c);
        }
        for (const NumberedFamily& family : kNumberedFamilies) {
            for (int n = family.first; n <= family.last; ++n) {
                table[static_cast<std::size_t>(family.firstCode + n - family.first)] =
                    std::string(family.word) + std::to_string(n);
            }
        }
        for (auto it = std::rbegin(kNamedKeys); it != std::rend(kNamedKeys); ++it) {
            table[it->code] = it->name;  // backwards, so the first name of a code wins
        }
        for (std::size_t i = 0; i < std::size(kPadButtons); ++i) {
            table[gamepad::kFirstCode + i] = kPadButtons[i].shown;
        }
        return table;
    }();
    return code < names.size() && !names[code].empty() ? names[code].c_str() : nullptr;
}

}  // namespace taviro
