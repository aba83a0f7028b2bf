// The size of the terminal standard output writes to, for output that redraws lines in place.
#pragma once

namespace platform {

struct TerminalSize {
  int columns;
  int rows;
};

// The window of the terminal (console) on standard output. When the system cannot tell (output
// not a terminal, or no size known), COLUMNS and LINES of the environment, else 80 by 24.
TerminalSize StdoutTerminalSize();
// COLUMNS and LINES of the environment, else 80 by 24 (the part every system shares).
TerminalSize FallbackTerminalSize();

}  // namespace platform
