// Station lock on POSIX: flock on $XDG_RUNTIME_DIR (or the temporary directory)/NAME.lock. The
// kernel drops the lock when the holder ends, however it ends; the file keeps the holder's pid.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <thread>

#include "platform/station_lock.h"

namespace platform {
namespace {

std::filesystem::path LockDirectory() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::error_code ec;
  if (runtime && *runtime && std::filesystem::is_directory(runtime, ec)) return runtime;
  std::filesystem::path temp = std::filesystem::temp_directory_path(ec);
  return ec ? std::filesystem::path("/tmp") : temp;
}

// The pid the holder wrote; it writes it right after taking the lock, so a moment is allowed.
long HolderPid(int fd) {
  for (int tries = 0; tries < 25; ++tries) {
    char text[32] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    if (n > 0 && text[n - 1] == '\n') return std::strtol(text, nullptr, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return 0;
}

}  // namespace

StationLock::~StationLock() {
  if (handle_ == -1) return;
  // The file goes first, while the lock is still held: a taker that opened it before checks that
  // its path still names what it locked (see Take), so no two ever hold the station.
  if (!path_.empty()) ::unlink(path_.c_str());
  ::close(static_cast<int>(handle_));  // drops the lock
}

StationLock::Outcome StationLock::Take(const std::string& key, long* holder, std::string* why) {
  const std::string path = (LockDirectory() / (StationLockName(key) + ".lock")).string();
  for (int attempt = 0; attempt < 10; ++attempt) {
    // Not passed on to child processes: the lock lives exactly as long as this process.
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);  // another user's file locks as well
    if (fd < 0) {
      *why = "cannot open '" + path + "': " + std::generic_category().message(errno);
      return kUnavailable;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      if (error == EWOULDBLOCK) *holder = HolderPid(fd);
      else *why = "cannot lock '" + path + "': " + std::generic_category().message(error);
      ::close(fd);
      return error == EWOULDBLOCK ? kHeld : kUnavailable;
    }
    struct stat locked{}, named{};
    if (::fstat(fd, &locked) != 0 || ::stat(path.c_str(), &named) != 0 || locked.st_ino != named.st_ino ||
        locked.st_dev != named.st_dev) {
      ::close(fd);  // its holder removed it on the way out: the path names a new file now
      continue;
    }
    const std::string pid = std::to_string(static_cast<long>(::getpid())) + "\n";
    if (::ftruncate(fd, 0) == 0) (void)!::pwrite(fd, pid.data(), pid.size(), 0);  // read-only: the pid stays unknown
    handle_ = fd;
    path_ = path;
    return kTaken;
  }
  *why = "'" + path + "' keeps being replaced";
  return kUnavailable;
}

}  // namespace platform
