#include "platform/file_io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace platform {

namespace {

// Opens the file for writing without emptying it, takes the lock, and only then empties it:
// a file that another writer of ours holds is refused untouched. The lock is advisory on this
// system; where the file system keeps no locks the file is used unlocked. Only regular files
// are held and emptied: a device such as /dev/null takes any number of writers and cannot be
// emptied. -1 with the error code in *error.
int OpenHeld(const std::string& path, mode_t mode, int* error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, mode);
  if (fd < 0) {
    if (error) *error = errno;
    return -1;
  }
  struct stat st {};
  const bool stated = ::fstat(fd, &st) == 0;
  const bool regular = stated && S_ISREG(st.st_mode);
  const bool refused = regular && ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  if (!stated || refused || (regular && ::ftruncate(fd, 0) != 0)) {
    if (error) *error = errno;
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

OutputFile::~OutputFile() { Close(); }

bool OutputFile::Create(const std::string& path, int* error) {
  Close();
  const int fd = OpenHeld(path, 0644, error);
  if (fd < 0) return false;
  handle_ = fd;
  return true;
}

std::FILE* CreateHeldTextFile(const std::string& path, int* error) {
  const int fd = OpenHeld(path, 0666, error);  // the permissions fopen gives
  if (fd < 0) return nullptr;
  std::FILE* file = ::fdopen(fd, "w");
  if (!file) {
    if (error) *error = errno;
    ::close(fd);
  }
  return file;
}

size_t OutputFile::Write(const void* data, size_t n) {
  if (handle_ < 0) return 0;
  const auto* p = static_cast<const char*>(data);
  size_t done = 0;
  while (done < n) {
    ssize_t w = ::write(static_cast<int>(handle_), p + done, n - done);
    if (w > 0) {
      done += static_cast<size_t>(w);
    } else if (!(w < 0 && errno == EINTR)) {
      break;
    }
  }
  return done;
}

void OutputFile::Close() {
  if (handle_ < 0) return;
  ::close(static_cast<int>(handle_));
  handle_ = -1;
}

bool IsDirectory(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool PathExists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

bool RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool FileSize(const std::string& path, uint64_t* size) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return false;
  *size = static_cast<uint64_t>(info.st_size);
  return true;
}

bool CreateDirectories(const std::string& path, std::string* reason) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);  // false, without error, when it is there already
  if (ec) *reason = ec.message();
  return !ec;
}

bool FileModifiedTime(const std::string& path, int64_t* seconds) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  if (seconds) *seconds = static_cast<int64_t>(st.st_mtime);
  return true;
}

namespace {

bool IdentityOf(const struct stat& st, FileIdentity* id) {
  id->volume = static_cast<uint64_t>(st.st_dev);
  id->index = static_cast<uint64_t>(st.st_ino);
  return true;
}

}  // namespace

bool PathIdentity(const std::string& path, FileIdentity* id) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && IdentityOf(st, id);
}

bool StreamIdentity(std::FILE* file, FileIdentity* id) {
  struct stat st {};
  return file && ::fstat(::fileno(file), &st) == 0 && IdentityOf(st, id);
}

const char* DefaultMidFilePath() { return "/etc/rx4000/logger.txt"; }

std::string FileErrorText(int error) {
  // NOLINTNEXTLINE(concurrency-mt-unsafe): called from the command's own thread only
  return std::strerror(error);
}

}  // namespace platform
