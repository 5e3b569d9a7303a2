// The settings files as a scenario edits them: as a player would in a text editor, so the rest
// of the file stays as it was.
#pragma once

#include "Scenario.h"

namespace testbed {

// Sets or removes the key under [Settings] of Data\SFSE\Plugins\<file>, or deletes the file when
// the step names no key. Section and key names match regardless of case, as the game's profile
// reader matches them. Throws std::runtime_error when the file cannot be written.
void EditSettingsFile(const step::Ini& edit);

}  // namespace testbed
