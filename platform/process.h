// Running a child program and waiting for the signals that end a foreground
// service: the process side of the simulator's command-line front end.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace platform {

// Runs argv[0] (looked up in PATH) with argv, with the current environment plus
// the given variables, and waits for it. While it runs, SIGINT, SIGTERM and
// SIGHUP sent to this process are passed on to the child.
// Returns the child's exit status, 128 + signal number when a signal ended it,
// 127 when it could not be started (the reason is then in *error).
int RunProcess(const std::vector<std::string>& argv,
               const std::vector<std::pair<std::string, std::string>>& env,
               std::string* error);

// Blocks until SIGINT or SIGTERM arrives. Standard input is not read, whatever it is: at end
// of file, a terminal (in the foreground or the background) or a pipe.
void WaitForStopRequest();

// Makes writes to a closed pipe fail with an error instead of ending the process.
void IgnoreBrokenPipe();

}  // namespace platform
