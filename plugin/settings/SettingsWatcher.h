// The settings in force: read from the files when the game's data loads, at every game load, and
// whenever Taviro.ini or TaviroCustom.ini changes while the game runs, which a thread of the
// plugin watches for.
//
// The files are read without StateMutex and the result published as the words the hook reads,
// so a reload never makes the hook wait or take its busy path; it only ever changes the settings'
// values (no game pointer, window, stage or handbrake). Reloads follow one another, never overlap.
#pragma once

#include "settings/Settings.h"

namespace taviro {

// Puts the settings in force: the hotkey and its modifier as one word, the decision trace, and
// the controller codes for the pad reader. The one writer of those members of ControlState.
void PublishSettings(const Settings& settings);

// Reads both files afresh, creating the default file when missing, publishes what they give and
// logs it. A file that another program holds shut for now keeps the values it gave the reload
// before (at the first, it gives none). The caller holds no lock the hook takes.
void ReloadSettings();

// Starts the thread that watches the two files; a later call has it look at once. A file is
// read again once it has stopped changing (its size and last-write time the same over 80 ms of
// looks), within a second of its save; the plugin's own creation of Taviro.ini is not a change.
// A file the last reload met held shut is read again as soon as it can be opened, changed or not.
void StartWatchingSettings();

// For tests: stops the watching thread and waits for it, and forgets what was read, as a fresh
// process has read nothing.
void StopWatchingSettings();

}  // namespace taviro
