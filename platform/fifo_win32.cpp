#include <windows.h>

#include <atomic>

#include "platform/fifo.h"
#include "platform/wide_path_win32.h"

namespace platform {

struct FifoWriter::Os {
  HANDLE handle = INVALID_HANDLE_VALUE;
  bool is_pipe = false;
  std::atomic<bool> gone{false};
};

namespace {

std::string ErrorText(DWORD code) {
  char text[256] = {};
  DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                             sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ')) text[--n] = '\0';
  return n > 0 ? std::string(text) : "error " + std::to_string(code);
}

}  // namespace

FifoWriter::~FifoWriter() { Close(); }

bool FifoWriter::Open(const std::string& path, std::string* error) {
  Close();
  // The viewer creates the pipe and waits for us as its client; a busy pipe is waited for.
  HANDLE h = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 2; ++attempt) {
    h = ::CreateFileW(WidePath(path).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE || ::GetLastError() != ERROR_PIPE_BUSY) break;
    ::WaitNamedPipeA(path.c_str(), 5000);
  }
  if (h == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_FILE_NOT_FOUND && path.rfind("\\\\.\\pipe\\", 0) != 0)
    h = ::CreateFileW(WidePath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    if (error) *error = ErrorText(::GetLastError());
    return false;
  }
  os_ = new Os;
  os_->handle = h;
  os_->is_pipe = ::GetFileType(h) == FILE_TYPE_PIPE;
  return true;
}

bool FifoWriter::Write(const void* data, size_t n) {
  if (!os_ || os_->gone) return false;
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    DWORD written = 0;
    if (!::WriteFile(os_->handle, p, static_cast<DWORD>(n), &written, nullptr) || written == 0) {
      os_->gone = true;  // ERROR_NO_DATA or ERROR_BROKEN_PIPE: the viewer closed its end
      return false;
    }
    p += written;
    n -= written;
  }
  return true;
}

// A pipe client cannot write without waiting here: everything goes through Write.
size_t FifoWriter::TryWrite(const void*, size_t) { return 0; }

bool FifoWriter::ReaderGone() {
  if (!os_) return true;
  if (os_->gone || !os_->is_pipe) return os_->gone;
  // A pipe whose reader has closed can no longer be peeked at.
  DWORD available = 0;
  if (!::PeekNamedPipe(os_->handle, nullptr, 0, nullptr, &available, nullptr) &&
      (::GetLastError() == ERROR_BROKEN_PIPE || ::GetLastError() == ERROR_NO_DATA))
    os_->gone = true;
  return os_->gone;
}

void FifoWriter::Close() {
  if (!os_) return;
  if (os_->handle != INVALID_HANDLE_VALUE) ::CloseHandle(os_->handle);
  delete os_;
  os_ = nullptr;
}

bool FifoWriter::IsOpen() const { return os_ != nullptr; }

}  // namespace platform
