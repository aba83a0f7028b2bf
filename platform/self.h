// This process as the command line sees it: its own executable, whether its output is a
// terminal, and stop requests from the user or a parent (Ctrl-C, SIGINT, SIGTERM).
#pragma once

#include <functional>
#include <string>

namespace platform {

// Full path of the running executable; empty when the system cannot tell.
std::string SelfExePath();
// True when standard output is an interactive terminal (a console window on Windows).
bool StdoutIsTerminal();
// From now on a stop request no longer ends the process: on_stop runs for each one, on a
// thread of its own, so it may take locks and print. Call before any other thread starts
// (on POSIX the signals are held back in every thread and taken by one waiting thread).
void CatchStopRequests(std::function<void()> on_stop);

}  // namespace platform
