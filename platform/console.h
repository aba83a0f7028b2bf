// Keys and lines of the interactive consoles, from standard input.
// On a terminal a key is read without echo, one keystroke at a time (the terminal's mode is
// restored right after, and on Ctrl-C); otherwise bytes are taken as they come.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// Returned instead of a key or byte once ConsoleInterrupt has been called.
constexpr int kConsoleInterrupted = -2;

// The next key, 0..255, or -1 at end of input. Blocks until one is there.
int ConsoleGetKey();
// The next byte of standard input as it comes (echoed on a terminal), or -1 at end of input.
int ConsoleReadByte();
// Any thread: a key or byte read waiting now, and every later one, returns kConsoleInterrupted
// at once (the console's job has ended for a reason other than the user's key, e.g. the
// device went away). Nothing waiting on standard input is consumed.
void ConsoleInterrupt();
// One line without its line end (CR LF or LF), echoed on a terminal; at most max characters are
// kept, the rest of the line is read and dropped. False at end of input when nothing was read,
// and once the console is interrupted.
bool ConsoleReadLine(std::string* line, size_t max);

}  // namespace platform
