#include <windows.h>
#include <io.h>
#include <tlhelp32.h>

#include <cstdint>
#include <cstdio>
#include <thread>
#include <utility>

#include "platform/self.h"

namespace platform {
namespace {

std::function<void(StopRequest)>* g_on_stop = nullptr;

BOOL WINAPI OnConsoleControl(DWORD type) {
  const bool closed = type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT;
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && !closed) return FALSE;
  // The system runs this handler on a thread of its own.
  if (g_on_stop) (*g_on_stop)(closed ? StopRequest::kConsoleClosed : StopRequest::kInterrupt);
  // A closed console window (log-off, shut-down) ends the process as soon as the handler returns
  // (or a few seconds later): it waits, so that the command stops after its frame, closes the
  // link and exits itself.
  if (closed) ::Sleep(INFINITE);
  return TRUE;
}

// The id of the process that started this one; 0 when the system cannot tell.
DWORD ParentProcessId() {
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  DWORD parent = 0;
  const DWORD self = ::GetCurrentProcessId();
  for (BOOL more = ::Process32First(snapshot, &entry); more; more = ::Process32Next(snapshot, &entry))
    if (entry.th32ProcessID == self) parent = entry.th32ParentProcessID;
  ::CloseHandle(snapshot);
  return parent;
}

uint64_t CreationTime(HANDLE process) {
  FILETIME created{}, exited, kernel, user;
  if (!::GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  return (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

}  // namespace

std::string SelfExePath() {
  char path[MAX_PATH * 4];
  DWORD n = ::GetModuleFileNameA(nullptr, path, sizeof path);
  return n > 0 && n < sizeof path ? std::string(path, n) : std::string();
}

bool StdoutIsTerminal() { return _isatty(_fileno(stdout)) != 0; }

void CatchStopRequests(std::function<void(StopRequest)> on_stop) {
  g_on_stop = new std::function<void(StopRequest)>(std::move(on_stop));  // lives as long as the process
  ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void CatchHangUps(bool started_by_parent) {
  // A console program's output does not vanish under it: a write to it fails instead.
  if (!g_on_stop || !started_by_parent) return;
  const DWORD parent_id = ParentProcessId();
  if (parent_id == 0) return;  // the system cannot tell: nothing to watch
  HANDLE parent = ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, parent_id);
  // No such process (it is gone already), or one started after this one that only took over the
  // number of a parent gone already: the parent has ended.
  if (!parent && ::GetLastError() != ERROR_INVALID_PARAMETER) return;
  if (parent && CreationTime(parent) > CreationTime(::GetCurrentProcess())) {
    ::CloseHandle(parent);
    parent = nullptr;
  }
  std::thread([parent] {
    if (parent) ::WaitForSingleObject(parent, INFINITE);
    (*g_on_stop)(StopRequest::kOutputLost);
  }).detach();
}

}  // namespace platform
