// The command line of rx5120-sim, read into what it serves and what it runs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/sim_target.h"

namespace sim {

struct Options {
  Config config;
  uint8_t port = 1;                  // COM port number, ttyACM<port-1>
  std::string dir;                   // where the device tree goes
  std::vector<std::string> command;  // what to run after "--" (empty: serve until stopped)
  bool help = false;
};

// Reads the arguments after the program name. std::nullopt for a wrong command line,
// with the reason in *error.
std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string* error);

}  // namespace sim
