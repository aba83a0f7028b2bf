// What a run over several repeaters makes sure of before it touches one: the file the command
// sends or reads is there, readable, not empty and, for a settings file, valid on every line;
// and that no other watch serves the same station.
#pragma once

#include <string>

#include "session/options.h"

// True when path holds a per-repeater field ({serial} or {port}): it names a file only once a
// repeater is known.
bool cmPathIsPerRepeater(const char* path);

// Checks the file the command needs (-fw for update, -pill for pill_upd, -settings for param_get
// and param_set; other commands need none). A path with {serial} or {port} is checked only by
// the run for one repeater (per_repeater true), which has it filled in. False with the file (and
// the line) named in *why.
bool cmPreflightFiles(const ST_OPTIONS& options, bool per_repeater, std::string* why);

// The name of the station a watch serves: the product and the device tree it lists (the fake
// trees the tests and the simulated repeater set up are stations of their own).
std::string cmStationKey(const ST_OPTIONS& options);
