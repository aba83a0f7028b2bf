// This process as the command line sees it: its own executable, whether its output is a
// terminal, and stop requests from the user or a parent (Ctrl-C, SIGINT, SIGTERM, a hang-up).
#pragma once

#include <functional>
#include <string>

namespace platform {

// Full path of the running executable; empty when the system cannot tell.
std::string SelfExePath();
// True when standard output is an interactive terminal (a console window on Windows).
bool StdoutIsTerminal();
// What a stop request was. A program that stops the same way on each may ignore it; one that
// runs many commands at once tells a deliberate stop from an output that went away.
enum class StopRequest {
  kInterrupt,      // SIGINT: Ctrl-C on the terminal; Windows: Ctrl-C or Ctrl-Break
  kTerminate,      // SIGTERM
  kHangUp,         // SIGHUP: the terminal or session went away (may come more than once)
  kConsoleClosed,  // Windows: console window closed, log-off or shut-down; the system ends the
                   // process a few seconds later whatever it does
  kOutputLost,     // see CatchHangUps: whoever reads the output is gone (not a signal)
};

// From now on a stop request no longer ends the process: on_stop runs for each one, with its
// kind, on a thread of its own, so it may take locks and print. Stop requests are SIGINT,
// SIGTERM and SIGHUP; on Windows Ctrl-C, Ctrl-Break and the console window being closed (the
// system then allows a few seconds before it ends the process).
// Call once, before any other thread starts (on POSIX the signals are held back in every
// thread and taken by one waiting thread).
void CatchStopRequests(std::function<void(StopRequest)> on_stop);
// After CatchStopRequests: losing whoever this process reports to calls on_stop too, and a
// write to an output nobody reads fails instead of ending the process.
// With started_by_parent, this process does part of the work of the program that started it:
// that program ending counts (POSIX: nobody reads standard output any more (kOutputLost), or the
// parent-death signal (kHangUp); Windows: the parent process has ended (kOutputLost)). Otherwise
// standard output turning into a pipe nobody reads or a terminal that hung up counts, as
// kOutputLost (POSIX only).
void CatchHangUps(bool started_by_parent);

}  // namespace platform
