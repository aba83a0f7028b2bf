// -watch: a servicing station. Each repeater is served as soon as it is plugged in, by a child
// of its own (as with -all), in parallel with those still working, until a stop request.
#pragma once

#include "session/options.h"

// True for the commands a station may run on each repeater plugged in.
bool cmWatchSupports(int command);
// Serves every repeater of the product plugged in from now on (those already attached too) until
// stopped: the first stop takes no new repeaters and waits for the children still working, the
// second stops them. Returns 0 when every repeater served succeeded, 1 otherwise.
int cmWatchRun(int argc, const char* const* argv, const ST_OPTIONS& options);
