// Console keys and lines on Windows. On a console, a key comes from _getch (no echo, one
// keystroke) and a line from the console's own line editing (echoed). Any other standard
// input (a pipe, a file) is read byte by byte with ReadFile: _getch would return -1 at once there.
// A wait for a key or a byte on a console or a pipe also ends when the console is interrupted.
// Standard input is read from one thread only.
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

// A pipe whose queue cannot be looked at (the emulation layer refuses PeekNamedPipe on the pipes
// of its host) is read by a thread of its own, one byte per request, so that the wait for a
// byte can end on the interrupt too: a ReadFile on it cannot be cancelled. The thread is left
// blocked in its read when the program ends.
class PipeReader {
 public:
  explicit PipeReader(HANDLE in)
      : in_(in), wanted_(::CreateEventA(nullptr, FALSE, FALSE, nullptr)),
        ready_(::CreateEventA(nullptr, FALSE, FALSE, nullptr)) {
    if (wanted_ && ready_) thread_ = ::CreateThread(nullptr, 0, &PipeReader::Main, this, 0, nullptr);
  }

  // The next byte, -1 at the end of input, kConsoleInterrupted when interrupted first (the byte
  // asked for then goes to the next call).
  int Next() {
    if (!thread_) return -1;
    if (!asked_) ::SetEvent(wanted_);
    asked_ = true;
    const HANDLE handles[2] = {ready_, InterruptEvent()};
    if (::WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0) return kConsoleInterrupted;
    asked_ = false;
    return byte_;
  }

 private:
  static DWORD WINAPI Main(void* self) {
    auto* r = static_cast<PipeReader*>(self);
    for (;;) {
      ::WaitForSingleObject(r->wanted_, INFINITE);
      unsigned char c = 0;
      DWORD got = 0;
      r->byte_ = ::ReadFile(r->in_, &c, 1, &got, nullptr) && got == 1 ? c : -1;
      ::SetEvent(r->ready_);
      if (r->byte_ < 0) return 0;
    }
  }

  HANDLE in_, wanted_, ready_;
  HANDLE thread_ = nullptr;
  bool asked_ = false;  // a byte was asked for and has not been taken yet
  int byte_ = -1;       // written by the thread before it sets ready_
};

enum class PipeWait { kByte, kInterrupted, kNoPeek };

// A pipe cannot be waited on: its queue is looked at every few milliseconds, with the interrupt
// event as the pause.
PipeWait AwaitPipeByte(HANDLE in) {
  for (;;) {
    DWORD queued = 0;
    if (!::PeekNamedPipe(in, nullptr, 0, nullptr, &queued, nullptr)) {
      // A pipe that has ended says so; one that cannot be looked at goes to the reading thread.
      const DWORD error = ::GetLastError();
      return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED ? PipeWait::kByte : PipeWait::kNoPeek;
    }
    if (queued > 0) return PipeWait::kByte;
    if (::WaitForSingleObject(InterruptEvent(), 20) == WAIT_OBJECT_0) return PipeWait::kInterrupted;
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
  static PipeReader* reader = nullptr;  // once a pipe could not be looked at, every byte comes through it
  if (!reader && ::GetFileType(in) == FILE_TYPE_PIPE) {
    const PipeWait wait = AwaitPipeByte(in);
    if (wait == PipeWait::kInterrupted) return kConsoleInterrupted;
    if (wait == PipeWait::kNoPeek) reader = new PipeReader(in);
  }
  if (reader) return reader->Next();
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
