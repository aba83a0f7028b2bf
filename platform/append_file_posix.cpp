// Shared append file with flock(2), and the host name.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/append_file.h"
#include "platform/file_io.h"

namespace platform {
namespace {

constexpr int kLockWaitMs = 10000;  // a writer holds the lock for one write only

// The exclusive lock, waited for in short steps so that a stuck holder ends the wait.
bool Lock(int fd, std::string* reason) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLockWaitMs);
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) break;
    if (std::chrono::steady_clock::now() > give_up) {
      *reason = "its lock is held by another program";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  *reason = std::string("cannot lock it: ") + FileErrorText(errno);
  return false;
}

}  // namespace

SharedAppendFile::~SharedAppendFile() { Close(); }

void SharedAppendFile::Close() {
  if (handle_ != -1) ::close(static_cast<int>(handle_));
  handle_ = -1;
}

bool SharedAppendFile::Open(const std::string& path, std::string* reason) {
  Close();
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    *reason = FileErrorText(errno);
    return false;
  }
  if (!Lock(fd, reason)) {
    ::close(fd);
    return false;
  }
  ::flock(fd, LOCK_UN);
  handle_ = fd;
  return true;
}

bool SharedAppendFile::Append(const std::string& text, std::string* reason) {
  if (handle_ == -1) {
    *reason = "the file is not open";
    return false;
  }
  const int fd = static_cast<int>(handle_);
  if (!Lock(fd, reason)) return false;
  // Under the lock the file ends where the last whole line ends: a line written in part (a
  // full file system) is cut off again, so that the next one does not glue onto it.
  struct stat before {};
  const bool sized = ::fstat(fd, &before) == 0;
  ssize_t n;
  do n = ::write(fd, text.data(), text.size());
  while (n < 0 && errno == EINTR);
  int error = errno;
  if (n >= 0 && n < static_cast<ssize_t>(text.size())) {
    error = ENOSPC;  // the rest did not fit
    if (sized) (void)::ftruncate(fd, before.st_size);
  }
  ::flock(fd, LOCK_UN);
  if (n == static_cast<ssize_t>(text.size())) return true;
  *reason = FileErrorText(error);
  if (n > 0) *reason += sized ? " (the part written was taken back)" : " (a part was written)";
  return false;
}

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

}  // namespace platform
