#include "platform/file_io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

OutputFile::~OutputFile() { Close(); }

bool OutputFile::Create(const std::string& path, int* error) {
  Close();
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (error) *error = errno;
    return false;
  }
  // Advisory only on this system: keeps a second tracer off the same file.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (error) *error = errno;
    ::close(fd);
    return false;
  }
  handle_ = fd;
  return true;
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

bool FileModifiedTime(const std::string& path, int64_t* seconds) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  if (seconds) *seconds = static_cast<int64_t>(st.st_mtime);
  return true;
}

const char* DefaultMidFilePath() { return "/etc/rx4000/logger.txt"; }

}  // namespace platform
