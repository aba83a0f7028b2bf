#include <windows.h>
#include <io.h>

#include <cstdio>
#include <utility>

#include "platform/self.h"

namespace platform {
namespace {

std::function<void()>* g_on_stop = nullptr;

BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) return FALSE;
  if (g_on_stop) (*g_on_stop)();  // the system runs this handler on a thread of its own
  return TRUE;
}

}  // namespace

std::string SelfExePath() {
  char path[MAX_PATH * 4];
  DWORD n = ::GetModuleFileNameA(nullptr, path, sizeof path);
  return n > 0 && n < sizeof path ? std::string(path, n) : std::string();
}

bool StdoutIsTerminal() { return _isatty(_fileno(stdout)) != 0; }

void CatchStopRequests(std::function<void()> on_stop) {
  g_on_stop = new std::function<void()>(std::move(on_stop));  // lives as long as the process
  ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

}  // namespace platform
