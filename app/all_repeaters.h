// -all: one command on every attached repeater at once, one child process per repeater.
#pragma once

#include "app/cli.h"

// True for the commands that may run on every repeater (the consoles and date2pill may not).
bool cmAllSupports(int command);
// Runs argv (without -all) once per attached repeater of the product, all at the same time;
// shows each one's output as a block when it ends and a summary table at the end. Returns -1
// when none is attached, 0 when every repeater did what was asked, 1 otherwise.
int cmAllRun(int argc, const char* const* argv, const ST_OPTIONS& options);
