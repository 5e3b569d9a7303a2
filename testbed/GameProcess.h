// The game as a process of its own. The testbed plays a scenario in a second run of itself and
// waits for it to end, as a game ends: the plugin's own exit work runs there, with the log's
// closing line, and only then is the log kept and the game's folder removed.
#pragma once

#include <string>
#include <vector>

namespace testbed {

struct GameEnd {
    int code = 0;
    // Why the process did not run to an end of its own (it could not start, a signal, a fault),
    // empty when it did; `code` is 2 when it could not start.
    std::string problem;
};

// Runs this program again with `arguments`, in the current folder, its output going where ours
// goes, and waits for it to end.
GameEnd PlayInAProcessOfItsOwn(const std::vector<std::string>& arguments);

}  // namespace testbed
