// Station lock on Windows: a named mutex owned by the holder's main thread; the system abandons
// it when the holder ends. The holder's pid is kept in %TEMP%\NAME.pid for a second process.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/open_file.h"
#include "platform/station_lock.h"
#include "platform/wide_path_win32.h"

namespace platform {
namespace {

HANDLE AsHandle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

std::string PidFile(const std::string& name) {
  char dir[MAX_PATH + 1] = {};
  const DWORD n = ::GetTempPathA(sizeof dir, dir);
  return (n > 0 && n < sizeof dir ? std::string(dir, n) : std::string(".\\")) + name + ".pid";
}

long HolderPid(const std::string& path) {
  for (int tries = 0; tries < 25; ++tries) {
    if (std::FILE* in = OpenFile(path, "r")) {
      char text[32] = {};
      const size_t n = std::fread(text, 1, sizeof text - 1, in);
      (void)std::fclose(in);  // read only
      if (n > 0 && text[n - 1] == '\n') return std::strtol(text, nullptr, 10);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return 0;
}

}  // namespace

StationLock::~StationLock() {
  if (handle_ == -1) return;
  if (!path_.empty()) ::DeleteFileW(WidePath(path_).c_str());
  ::ReleaseMutex(AsHandle(handle_));
  ::CloseHandle(AsHandle(handle_));
}

StationLock::Outcome StationLock::Take(const std::string& key, long* holder, std::string* why) {
  const std::string name = StationLockName(key);
  // Every session of the computer, where the system allows it; this session's otherwise.
  HANDLE mutex = ::CreateMutexA(nullptr, FALSE, ("Global\\" + name).c_str());
  if (!mutex) mutex = ::CreateMutexA(nullptr, FALSE, ("Local\\" + name).c_str());
  if (!mutex) {
    *why = "cannot create the lock " + name + " (error " + std::to_string(::GetLastError()) + ")";
    return kUnavailable;
  }
  const DWORD waited = ::WaitForSingleObject(mutex, 0);
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    ::CloseHandle(mutex);
    *holder = HolderPid(PidFile(name));
    return kHeld;
  }
  // Written whole under a temporary name, then put in place: a reader never sees half of it.
  const std::string path = PidFile(name), temp = path + ".new";
  if (std::FILE* out = OpenFile(temp, "w")) {
    std::fprintf(out, "%lu\n", static_cast<unsigned long>(::GetCurrentProcessId()));
    if (std::fclose(out) == 0) ::MoveFileExW(WidePath(temp).c_str(), WidePath(path).c_str(), MOVEFILE_REPLACE_EXISTING);
  }
  handle_ = reinterpret_cast<intptr_t>(mutex);
  path_ = path;
  return kTaken;
}

}  // namespace platform
