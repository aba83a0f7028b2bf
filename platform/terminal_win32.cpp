#include <windows.h>

#include "platform/terminal.h"

namespace platform {

TerminalSize StdoutTerminalSize() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (::GetConsoleScreenBufferInfo(::GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    const int rows = info.srWindow.Bottom - info.srWindow.Top + 1;
    if (columns > 0 && rows > 0) return {columns, rows};
  }
  return FallbackTerminalSize();
}

}  // namespace platform
