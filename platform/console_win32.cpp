// Console keys and lines on Windows. On a console, a key comes from _getch (no echo, one
// keystroke) and a line from the console's own line editing (echoed). Any other standard
// input (a pipe, a file) is read byte by byte with ReadFile: _getch would return -1 at once there.
#include "platform/console.h"

#include <conio.h>
#include <windows.h>

namespace platform {
namespace {

HANDLE Input() { return ::GetStdHandle(STD_INPUT_HANDLE); }

bool InputIsConsole() {
  HANDLE in = Input();
  DWORD mode = 0;
  return in != nullptr && in != INVALID_HANDLE_VALUE && ::GetFileType(in) == FILE_TYPE_CHAR &&
         ::GetConsoleMode(in, &mode);
}

}  // namespace

// One byte of standard input; -1 at end of input (a closed pipe included) or on an error.
int ConsoleReadByte() {
  HANDLE in = Input();
  if (in == nullptr || in == INVALID_HANDLE_VALUE) return -1;
  unsigned char c = 0;
  DWORD got = 0;
  // A pipe ends with an error (broken pipe) or an empty read, a file with an empty read, a
  // console with an empty read for Ctrl-Z.
  if (!::ReadFile(in, &c, 1, &got, nullptr) || got != 1) return -1;
  return c;
}

int ConsoleGetKey() {
  if (!InputIsConsole()) return ConsoleReadByte();
  int key = _getch();
  return key == EOF ? -1 : (key & 0xFF);
}

}  // namespace platform
