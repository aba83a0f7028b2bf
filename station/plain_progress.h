// A child's console output shown where the station's output is not a terminal (a file, a pipe):
// the progress counter that overwrites itself on a terminal ("Writing: %3d Kb\r", one per chunk)
// becomes one line per tenth of the transfer.
#pragma once

#include <cstdint>
#include <string>

// out with each run of progress counters cut down to the counters that reach a new tenth of
// total_bytes (and the run's last one), each ending its own line. With total_bytes 0 (not known)
// only each run's last counter stays.
std::string cmPlainProgress(const std::string& out, uint64_t total_bytes);
