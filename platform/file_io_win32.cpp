// Record files and file status with the Windows file API.
#include "platform/file_io.h"
#include "platform/wide_path_win32.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>

namespace platform {
namespace {

HANDLE AsHandle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

// Opens the file for writing with the given sharing and empties it only once this handle
// holds it, never as part of opening: an opener the sharing check refuses leaves the other
// holder's file whole. Devices are not emptied.
HANDLE OpenHeld(const std::string& path, DWORD share, int* error) {
  HANDLE h = ::CreateFileW(WidePath(path).c_str(), GENERIC_WRITE, share, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    if (error) *error = static_cast<int>(::GetLastError());
    return INVALID_HANDLE_VALUE;
  }
  if (::GetFileType(h) == FILE_TYPE_DISK && !::SetEndOfFile(h)) {
    if (error) *error = static_cast<int>(::GetLastError());
    ::CloseHandle(h);
    return INVALID_HANDLE_VALUE;
  }
  return h;
}

}  // namespace

OutputFile::~OutputFile() { Close(); }

bool OutputFile::Create(const std::string& path, int* error) {
  Close();
  // Write access shared with readers only: halvern-trace -f may follow the file while it is
  // written, a second tracer (or an editor) cannot open it for writing.
  HANDLE h = OpenHeld(path, FILE_SHARE_READ, error);
  if (h == INVALID_HANDLE_VALUE) return false;
  handle_ = reinterpret_cast<intptr_t>(h);
  return true;
}

std::FILE* CreateHeldTextFile(const std::string& path, int* error) {
  // Readers may look in while it is written; a second writer is refused by the sharing check.
  HANDLE h = OpenHeld(path, FILE_SHARE_READ, error);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), _O_TEXT);
  if (fd < 0) {
    if (error) *error = errno;
    ::CloseHandle(h);
    return nullptr;
  }
  std::FILE* file = ::_fdopen(fd, "w");  // text mode, as fopen's "w"
  if (!file) {
    if (error) *error = errno;
    ::_close(fd);  // closes the handle too
  }
  return file;
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

bool IsDirectory(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesW(WidePath(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool PathExists(const std::string& path) {
  return ::GetFileAttributesW(WidePath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool RemoveFile(const std::string& path) { return ::DeleteFileW(WidePath(path).c_str()) != 0; }

bool FileSize(const std::string& path, uint64_t* size) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(WidePath(path).c_str(), GetFileExInfoStandard, &data)) return false;
  *size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return true;
}

// Each folder along the path is made in turn; one that is there already, a drive or a share
// refuses and is passed over. What counts is the last.
bool CreateDirectories(const std::string& path, std::string* reason) {
  if (IsDirectory(path)) return true;
  DWORD error = ERROR_PATH_NOT_FOUND;
  for (size_t at = path.find_first_of("/\\");; at = path.find_first_of("/\\", at + 1)) {
    const std::string part = path.substr(0, at);
    if (!part.empty() && part.back() != ':' && part.back() != '/' && part.back() != '\\')
      error = ::CreateDirectoryW(WidePath(part).c_str(), nullptr) ? ERROR_SUCCESS : ::GetLastError();
    if (at == std::string::npos) break;
  }
  if (IsDirectory(path)) return true;
  *reason = FileErrorText(static_cast<int>(error == ERROR_SUCCESS ? ERROR_DIRECTORY : error));
  return false;
}

bool FileModifiedTime(const std::string& path, int64_t* seconds) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(WidePath(path).c_str(), GetFileExInfoStandard, &data)) return false;
  // 100-ns ticks since 1601-01-01 to seconds since 1970-01-01, as the C library's stat counts.
  const uint64_t ticks = (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                         data.ftLastWriteTime.dwLowDateTime;
  if (seconds) *seconds = static_cast<int64_t>(ticks / 10000000ULL) - 11644473600LL;
  return true;
}

namespace {

bool IdentityOf(HANDLE h, FileIdentity* id) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (h == INVALID_HANDLE_VALUE || !::GetFileInformationByHandle(h, &info)) return false;
  id->volume = info.dwVolumeSerialNumber;
  id->index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

}  // namespace

bool PathIdentity(const std::string& path, FileIdentity* id) {
  // No access asked for, every sharing granted: a file a writer holds can still be looked at.
  HANDLE h = ::CreateFileW(WidePath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  const bool ok = IdentityOf(h, id);
  if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
  return ok;
}

bool StreamIdentity(std::FILE* file, FileIdentity* id) {
  return file && IdentityOf(reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(file))), id);
}

const char* DefaultMidFilePath() { return "C:\\rx4000\\logger.txt"; }

std::string FileErrorText(int error) {
  char text[256] = {};
  const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                   static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
  std::string out(text, n);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' || out.back() == '.'))
    out.pop_back();
  return out.empty() ? "error " + std::to_string(error) : out;
}

}  // namespace platform
