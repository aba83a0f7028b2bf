// The command line of rx5120-sim, read into what it serves and what it runs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/sim_target.h"

namespace sim {

struct Options {
  Config config;
  uint8_t port = 1;                  // COM port number, ttyACM<port-1>
  unsigned count = 1;                // repeaters served, on ports port..port+count-1
  bool counted = false;              // --count given: serial numbers from CountedSerial
  std::string dir;                   // where the device tree goes
  std::string control;               // --control FIFO: plug/unplug lines come from there
  std::vector<std::string> command;  // what to run after "--" (empty: serve until stopped)
  bool help = false;
};

// How long a restarting repeater stays away unless --restart-ms says otherwise.
constexpr int kDefaultRestartMs = 1500;
// The most log lines or trace messages a second --traffic-rate takes.
constexpr unsigned long kMaxTrafficRate = 1000;

// Reads the arguments after the program name. std::nullopt for a wrong command line,
// with the reason in *error.
std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string* error);

// A version as the tool shows it, "01.03.0400": product version 0x0103 and build 0x0400.
std::optional<std::pair<uint16_t, uint16_t>> ParseVersionText(const std::string& text);

// The USB serial number of the index-th repeater (0-based) of a --count run: "RX5120-0001" on.
std::string CountedSerial(unsigned index);

}  // namespace sim
