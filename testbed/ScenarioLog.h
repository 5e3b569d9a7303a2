// The plugin's log as a scenario reads it while the game runs: how far it has got, whether a line
// has come since a given point, and the reason its decision trace gives for each frame.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>

namespace testbed::pluginlog {

// Where the log ends now: a later line starts at or after it. 0 while there is no log.
std::uintmax_t End();

// Once the log has stood still for longer than the plugin's writer sleeps: every line the plugin
// had queued when this was called is then in the file, so a line that comes after is new.
void Settle();

// Whether the log holds TEXT on a line that starts at or after `from` (0: anywhere), looking
// again until `wait` has passed; with `present` false, whether it still holds none once it has.
bool Holds(const std::string& text, std::uintmax_t from, bool present,
           std::chrono::milliseconds wait);

// Once the plugin's writer has had its time: the reason of every trace line of this launch, by
// frame.
std::map<int, std::string> TracedWhys();

}  // namespace testbed::pluginlog
