// The tracer command (module main_tracer): reads the logger command from the configuration
// file, opens the session, configures the target's logger, creates the trace file and runs
// the console until the user quits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr size_t TRACER_COMMAND_SIZE = 64;  // a command of up to 62 characters, its line end and a NUL

// Fills buffer (size bytes, zeroed first) with the first line of the file that is neither
// empty nor a comment ("#..."), without its line end. 0 when one was found; -1 when the file
// cannot be opened, holds no such line, or the line is longer than size - 2 characters.
int cmTracerReadCommand(const char* path, char* buffer, size_t size);

// Handler of the tracer command, the trace file in trace_dir (null: the current directory).
// Returns 0 when it did what was asked, -1 otherwise.
int cmTracerRun(uint8_t port, const char* config_path, const char* trace_dir = nullptr);

// Whether the trace files can go into dir: it exists, is a directory and takes a new file.
// Otherwise false, with the reason in *reason. Nothing is left in dir.
bool cmTracerDirReady(const char* dir, std::string* reason);
