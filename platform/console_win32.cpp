// Console keys and lines on Windows. On a console, a key comes from _getch (no echo, one
// keystroke) and a line from the console's own line editing (echoed). Any other standard
// input (a pipe, a file) is read byte by byte with ReadFile: _getch would return -1 at once there.
// A wait for a key or a byte on a console or a pipe also ends when the console is interrupted.
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

// Manual-reset: once set, every wait ends at once.
HANDLE InterruptEvent() {
  static const HANDLE event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  return event;
}

bool Interrupted() { return ::WaitForSingleObject(InterruptEvent(), 0) == WAIT_OBJECT_0; }

// A pipe cannot be waited on: its queue is looked at every few milliseconds, with the interrupt
// event as the pause. False when the pipe has ended or the console was interrupted.
bool AwaitPipeByte(HANDLE in) {
  for (;;) {
    DWORD queued = 0;
    if (!::PeekNamedPipe(in, nullptr, 0, nullptr, &queued, nullptr)) return true;  // ReadFile tells why
    if (queued > 0) return true;
    if (::WaitForSingleObject(InterruptEvent(), 20) == WAIT_OBJECT_0) return false;
  }
}

// Waits until a key press is queued on the console; other input records (key releases, mouse,
// focus) are taken out so that they do not keep the wait ending. False when interrupted.
bool AwaitConsoleKey(HANDLE in) {
  for (;;) {
    if (_kbhit()) return true;
    INPUT_RECORD record;
    DWORD count = 0;
    if (::PeekConsoleInputA(in, &record, 1, &count) && count == 1 &&
        !(record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown))
      ::ReadConsoleInputA(in, &record, 1, &count);
    const HANDLE handles[2] = {in, InterruptEvent()};
    const DWORD r = ::WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    if (r == WAIT_OBJECT_0 + 1) return false;
    if (r != WAIT_OBJECT_0) return true;  // cannot wait: _getch decides
  }
}

}  // namespace

void ConsoleInterrupt() { ::SetEvent(InterruptEvent()); }

// One byte of standard input; -1 at end of input (a closed pipe included) or on an error.
int ConsoleReadByte() {
  HANDLE in = Input();
  if (in == nullptr || in == INVALID_HANDLE_VALUE) return -1;
  if (Interrupted()) return kConsoleInterrupted;
  if (::GetFileType(in) == FILE_TYPE_PIPE && !AwaitPipeByte(in)) return kConsoleInterrupted;
  unsigned char c = 0;
  DWORD got = 0;
  // A pipe ends with an error (broken pipe) or an empty read, a file with an empty read, a
  // console with an empty read for Ctrl-Z.
  if (!::ReadFile(in, &c, 1, &got, nullptr) || got != 1) return -1;
  return c;
}

int ConsoleGetKey() {
  if (!InputIsConsole()) return ConsoleReadByte();
  if (Interrupted() || !AwaitConsoleKey(Input())) return kConsoleInterrupted;
  int key = _getch();
  return key == EOF ? -1 : (key & 0xFF);
}

}  // namespace platform
