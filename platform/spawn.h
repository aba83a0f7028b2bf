// Running a program to completion with its output captured: how the end-to-end tests
// and the benchmarks drive the built tool as a user would.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace platform {

struct SpawnResult {
  int exit_status = -1;  // the program's exit status; 128 + signal when a signal ended it; -1 when not started
  bool timed_out = false;  // killed after the time limit
  std::string out;
  std::string err;
};

// Runs argv[0] with argv, the current environment plus env, and stdin_data on its standard
// input (then end of file). Kills it after timeout_ms.
SpawnResult SpawnCapture(const std::vector<std::string>& argv,
                         const std::vector<std::pair<std::string, std::string>>& env,
                         const std::string& stdin_data, int timeout_ms);

}  // namespace platform

namespace platform {

// Sets a variable of this process's own environment (benchmarks that drive the link in-process).
void SetEnv(const std::string& name, const std::string& value);

}  // namespace platform
