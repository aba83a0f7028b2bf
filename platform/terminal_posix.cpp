#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/terminal.h"

namespace platform {

TerminalSize StdoutTerminalSize() {
  winsize size{};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 0)
    return {size.ws_col, size.ws_row};
  return FallbackTerminalSize();
}

}  // namespace platform
