// Record files and file status with the Windows file API.
#include "platform/file_io.h"

#include <windows.h>

namespace platform {
namespace {

HANDLE AsHandle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

}  // namespace

OutputFile::~OutputFile() { Close(); }

bool OutputFile::Create(const std::string& path, int* error) {
  Close();
  // Write access, no sharing: a second tracer (or an editor) cannot open the file while it is written.
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    if (error) *error = static_cast<int>(::GetLastError());
    return false;
  }
  handle_ = reinterpret_cast<intptr_t>(h);
  return true;
}

size_t OutputFile::Write(const void* data, size_t n) {
  if (handle_ < 0) return 0;
  const auto* p = static_cast<const char*>(data);
  size_t done = 0;
  while (done < n) {
    const DWORD chunk = static_cast<DWORD>(n - done > 0x40000000 ? 0x40000000 : n - done);
    DWORD written = 0;
    if (!::WriteFile(AsHandle(handle_), p + done, chunk, &written, nullptr) || written == 0) break;
    done += written;
  }
  return done;
}

void OutputFile::Close() {
  if (handle_ < 0) return;
  ::CloseHandle(AsHandle(handle_));
  handle_ = -1;
}

bool FileModifiedTime(const std::string& path, int64_t* seconds) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return false;
  // 100-ns ticks since 1601-01-01 to seconds since 1970-01-01, as the C library's stat counts.
  const uint64_t ticks = (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                         data.ftLastWriteTime.dwLowDateTime;
  if (seconds) *seconds = static_cast<int64_t>(ticks / 10000000ULL) - 11644473600LL;
  return true;
}

const char* DefaultMidFilePath() { return "C:\\rx4000\\logger.txt"; }

}  // namespace platform
