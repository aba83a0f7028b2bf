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

// Why WaitForStopRequest returned.
enum class StopReason { kSignal, kEndOfInput };

// Blocks until SIGINT or SIGTERM arrives or standard input reaches end of file
// (whatever is typed meanwhile is read and discarded). A terminal on standard input is not
// read while the process runs in the background: then only the signals end the wait.
StopReason WaitForStopRequest();

// Makes writes to a closed pipe fail with an error instead of ending the process.
void IgnoreBrokenPipe();

}  // namespace platform
