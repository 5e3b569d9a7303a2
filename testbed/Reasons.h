// The reasons the plugin's decision trace gives after "why=", which a scenario's why= expects: a
// closed list, so that a misspelt reason is a mistake in the file rather than a run that fails on
// every frame. In the order the plugin's trace names them.
#pragma once

#include <array>
#include <string_view>

namespace testbed {

inline constexpr std::array<std::string_view, 15> kReasons = {
    "no-ui-yet",
    "fade",
    "load-screen",
    "warm-up",
    "tracked-object-not-ready",
    "game-flag",
    "hotkey-held",
    "hotkey-let-go",
    "hotkey-on",
    "hotkey-off",
    "reset-path",
    "counting:update-float-zero",
    "counting:float1-nonzero",
    "counting:exit-window",
    "counting:activation-window",
};

}  // namespace testbed
