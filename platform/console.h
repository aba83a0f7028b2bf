// Keys and lines of the interactive consoles, from standard input.
// On a terminal a key is read without echo, one keystroke at a time (the terminal's mode is
// restored right after, and on Ctrl-C); otherwise bytes are taken as they come.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// The next key, 0..255, or -1 at end of input. Blocks until one is there.
int ConsoleGetKey();
// The next byte of standard input as it comes (echoed on a terminal), or -1 at end of input.
int ConsoleReadByte();
// One line without its line end (CR LF or LF), echoed on a terminal; at most max characters are
// kept, the rest of the line is read and dropped. False at end of input when nothing was read.
bool ConsoleReadLine(std::string* line, size_t max);

}  // namespace platform
