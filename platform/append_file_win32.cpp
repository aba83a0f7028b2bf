// Shared append file with LockFileEx, and the host name.
#include <windows.h>

#include <chrono>
#include <thread>

#include "platform/append_file.h"
#include "platform/wide_path_win32.h"

namespace platform {
namespace {

constexpr int kLockWaitMs = 10000;  // a writer holds the lock for one write only

HANDLE AsHandle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

std::string ErrorText(DWORD error) {
  char text[256] = {};
  const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                                   sizeof text, nullptr);
  std::string s(text, n);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '.')) s.pop_back();
  return s.empty() ? "error " + std::to_string(error) : s;
}

// The whole file's exclusive lock, waited for in short steps so that a stuck holder ends the wait.
bool Lock(HANDLE h, std::string* reason) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLockWaitMs);
  for (;;) {
    OVERLAPPED at{};
    if (::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &at)) return true;
    const DWORD error = ::GetLastError();
    if (error != ERROR_LOCK_VIOLATION) {
      *reason = "cannot lock it: " + ErrorText(error);
      return false;
    }
    if (std::chrono::steady_clock::now() > give_up) {
      *reason = "its lock is held by another program";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void Unlock(HANDLE h) {
  OVERLAPPED at{};
  ::UnlockFileEx(h, 0, MAXDWORD, MAXDWORD, &at);
}

}  // namespace

SharedAppendFile::~SharedAppendFile() { Close(); }

void SharedAppendFile::Close() {
  if (handle_ != -1) ::CloseHandle(AsHandle(handle_));
  handle_ = -1;
}

bool SharedAppendFile::Open(const std::string& path, std::string* reason) {
  Close();
  // Shared with every other writer and reader: the lock orders the writers.
  HANDLE h = ::CreateFileW(WidePath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *reason = ErrorText(::GetLastError());
    return false;
  }
  if (!Lock(h, reason)) {
    ::CloseHandle(h);
    return false;
  }
  Unlock(h);
  handle_ = reinterpret_cast<intptr_t>(h);
  return true;
}

bool SharedAppendFile::Append(const std::string& text, std::string* reason) {
  if (handle_ == -1) {
    *reason = "the file is not open";
    return false;
  }
  HANDLE h = AsHandle(handle_);
  if (!Lock(h, reason)) return false;
  // Under the lock the end of the file stays where it is until this write is done.
  LARGE_INTEGER end{};
  DWORD written = 0;
  const bool sized = ::SetFilePointerEx(h, LARGE_INTEGER{}, &end, FILE_END);
  const bool ok = sized && ::WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  DWORD error = ::GetLastError();
  if (sized && (!ok || written != text.size())) {
    // A line written in part (a full disk) is cut off again, so that the file only ever holds
    // whole lines and the next one does not glue onto it.
    if (ok) error = ERROR_DISK_FULL;
    if (written > 0 || !ok) {
      (void)::SetFilePointerEx(h, end, nullptr, FILE_BEGIN);
      (void)::SetEndOfFile(h);
    }
  }
  Unlock(h);
  if (ok && written == text.size()) return true;
  *reason = ErrorText(error);
  if (written > 0) *reason += " (the part written was taken back)";
  return false;
}

std::string HostName() {
  wchar_t name[256] = {};
  DWORD size = sizeof name / sizeof name[0];
  if (!::GetComputerNameExW(ComputerNameDnsHostname, name, &size)) return {};
  char utf8[1024] = {};
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, name, static_cast<int>(size), utf8, sizeof utf8, nullptr, nullptr);
  return n > 0 ? std::string(utf8, static_cast<size_t>(n)) : std::string();
}

}  // namespace platform
