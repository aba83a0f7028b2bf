// -all: one command on every attached repeater at once, one child process per repeater.
#pragma once

#include <string>
#include <vector>

#include "app/cli.h"
#include "session/comport_find.h"

// True for the commands that may run on every repeater (the consoles and date2pill may not).
bool cmAllSupports(int command);
// -report with -all: opens the report file of every repeater (its path with {serial} and {port}
// filled in) before any child starts. False after "halvern: cannot open report file" on stderr.
bool cmAllOpenReports(const ST_OPTIONS& options, const std::vector<ST_REPEATER>& found);
// Runs argv once on each of the found repeaters, all at the same time; shows each one's output as
// a block when it ends and a summary table at the end. Returns 0 when every repeater did what was
// asked, 1 otherwise.
int cmAllRun(int argc, const char* const* argv, const ST_OPTIONS& options, const std::vector<ST_REPEATER>& found);
// The live lines as a terminal of columns by rows shows them: each cut to fit in one row, or the
// one line total instead when they would not all fit above the cursor's row.
std::vector<std::string> cmAllLiveLines(const std::vector<std::string>& lines, const std::string& total, int columns,
                                        int rows);
