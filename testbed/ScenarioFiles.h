// Files as players' editors and tools leave them, for scenarios:
//
//   file NAME write "TEXT" [by-rename]   NAME in Data/SFSE/Plugins written whole: in place, or
//                                        as a new file renamed over the old one
//   file NAME hold                       another program opens NAME with no sharing, so no one
//   file NAME let-go                     else can open it, until it lets it go; a write meanwhile
//                                        goes through its handle
//
// TEXT takes \r, \n, \t, \xHH, \" and \\. The writes and holds go through the system's file
// functions in both builds: Windows' own under Wine, the stand-in layer's natively, which keeps
// Windows' share modes.
//
// And a line only one kind of system plays, where Windows and Wine differ:
//   on windows LINE    played on Windows and natively (the stand-in layer follows Windows)
//   on wine LINE       played under Wine
// The other kind's lines are read all the same, so a mistake in them is still found.
#pragma once

#include <string>
#include <string_view>

#include "Scenario.h"

namespace testbed {

// A `file` line, whole as the scenario has it; throws ScenarioError "source:number: what".
step::File ParseFileLine(std::string_view line, const std::string& source, int number);

// Does what the step says: empty when done, else what went wrong.
std::string ApplyFileStep(const step::File& step);

// Whether a `file NAME hold` has NAME now, so that nothing else of the scenario writes it.
bool HeldByScenario(const std::string& name);

// Takes "on windows " or "on wine " off the front of `line`: false when the line is for the
// other kind of system. Throws ScenarioError for an unknown kind.
bool ForThisSystem(std::string& line, const std::string& source, int number);

// Whether the testbed runs under Wine (whose ntdll has wine_get_version).
bool UnderWine();

}  // namespace testbed
