// -logdir DIR: the whole console output of each service in a file of its own, named by the
// repeater and the time its service began.
#pragma once

#include <chrono>
#include <string>

// DIR/<serial as a file-name part, or COM<port> without one>_<UTC start, e.g. 20261208T093012.345Z>.log
// (no ':', a name valid on Windows too); "_2", "_3", ... before ".log" when that name is taken.
std::string cmServiceLogPath(const std::string& dir, const std::string& serial, int port,
                             std::chrono::system_clock::time_point begun);
// Writes the log (the file is created). False with the reason in words.
bool cmServiceLogWrite(const std::string& path, const std::string& text, std::string* reason);
// Makes the directory when it is missing and tries a file in it, so that a directory the logs
// cannot go to is known before any repeater is served. False with the reason in words.
bool cmServiceLogDirReady(const std::string& dir, std::string* reason);
