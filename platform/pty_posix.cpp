// POSIX pseudo-terminals, descriptor I/O and file-system helpers.
#include "platform/pty.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace platform {
namespace {

std::string ErrnoText(const char* what, int err) {
  return std::string(what) + ": " + std::error_code(err, std::generic_category()).message();
}

void SetError(std::string* error, const char* what, int err) {
  if (error) *error = ErrnoText(what, err);
}

bool SetCloexecNonblock(int fd, bool nonblock) {
  int fdflags = fcntl(fd, F_GETFD);
  if (fdflags < 0 || fcntl(fd, F_SETFD, fdflags | FD_CLOEXEC) < 0) return false;
  if (nonblock) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return false;
  }
  return true;
}

// Raw 8N1 at 115200 baud, no echo, no flow control, reads return what is there.
bool MakeRaw(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return false;
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  cfsetispeed(&tio, B115200);
  cfsetospeed(&tio, B115200);
  return tcsetattr(fd, TCSANOW, &tio) == 0;
}

std::string SlaveName(int master) {
#if defined(__linux__)
  char buf[128];
  if (ptsname_r(master, buf, sizeof buf) != 0) return {};
  return buf;
#else
  static std::mutex name_lock;  // ptsname returns a static buffer
  std::lock_guard<std::mutex> guard(name_lock);
  const char* name = ptsname(master);
  return name ? name : "";
#endif
}

}  // namespace

bool PtyOpen(PtyPair* pair, std::string* error) {
  if (!pair) {
    if (error) *error = "no pseudo-terminal record given";
    return false;
  }
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 && errno == EINVAL) master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0) {
    SetError(error, "posix_openpt", errno);
    return false;
  }
  auto fail = [&](const char* what, int err, int slave) {
    SetError(error, what, err);
    if (slave >= 0) close(slave);
    close(master);
    return false;
  };
  if (!SetCloexecNonblock(master, true)) return fail("fcntl(master)", errno, -1);
  if (grantpt(master) != 0) return fail("grantpt", errno, -1);
  if (unlockpt(master) != 0) return fail("unlockpt", errno, -1);
  std::string name = SlaveName(master);
  if (name.empty()) return fail("ptsname", errno ? errno : ENOTTY, -1);
  int slave = open(name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) return fail("open(slave)", errno, -1);
  if (!MakeRaw(slave)) return fail("tcsetattr(slave)", errno, slave);
  pair->master = master;
  pair->slave = slave;
  pair->slave_path = name;
  return true;
}

int TtyOpen(const std::string& path, std::string* error) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    SetError(error, "open", errno);
    return -1;
  }
  if (!MakeRaw(fd)) {
    SetError(error, "tcsetattr", errno);
    close(fd);
    return -1;
  }
  return fd;
}

long FdRead(int fd, uint8_t* buf, size_t cap, int timeout_ms) {
  if (fd < 0 || !buf || cap == 0) return kReadClosed;
  pollfd p{fd, POLLIN, 0};
  int r = poll(&p, 1, timeout_ms < 0 ? 0 : timeout_ms);
  if (r < 0) return errno == EINTR ? kReadTimeout : kReadClosed;
  if (r == 0) return kReadTimeout;
  if (p.revents & POLLNVAL) return kReadClosed;
  if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
    ssize_t n = read(fd, buf, cap);
    if (n > 0) return static_cast<long>(n);
    if (n == 0) return kReadClosed;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return kReadTimeout;
    return kReadClosed;
  }
  return kReadTimeout;
}

long FdWrite(int fd, const uint8_t* data, size_t n, int timeout_ms) {
  if (fd < 0) return -1;
  if (n == 0) return 0;
  for (int attempt = 0; attempt < 2; ++attempt) {
    ssize_t w;
    do {
      w = write(fd, data, n);
    } while (w < 0 && errno == EINTR);
    if (w > 0) return static_cast<long>(w);
    if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    if (attempt == 1) break;
    pollfd p{fd, POLLOUT, 0};
    int r = poll(&p, 1, timeout_ms < 0 ? 0 : timeout_ms);
    if (r < 0) return errno == EINTR ? 0 : -1;
    if (r == 0) return 0;
    if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return -1;
  }
  return 0;
}

size_t FdFill(int fd) {
  if (fd < 0) return 0;
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return 0;
  const uint8_t filler[256] = {};
  size_t written = 0;
  // The system moves queued bytes on to the reading side's own buffer a little later, which
  // makes room again: fill until a pause brings none, down to the last byte.
  for (int round = 0; round < 100; ++round) {
    size_t this_round = 0;
    for (size_t chunk = sizeof filler; chunk > 0; chunk /= 16) {
      for (;;) {
        const ssize_t w = write(fd, filler, chunk);
        if (w > 0) {
          this_round += static_cast<size_t>(w);
          continue;
        }
        if (w < 0 && errno == EINTR) continue;
        break;  // full (EAGAIN), or the line is gone
      }
    }
    written += this_round;
    if (this_round == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  (void)fcntl(fd, F_SETFL, flags);
  return written;
}

bool FdWriteAll(int fd, const uint8_t* data, size_t n, int timeout_ms) {
  if (fd < 0) return false;
  size_t done = 0;
  while (done < n) {
    ssize_t w = write(fd, data + done, n - done);
    if (w > 0) {
      done += static_cast<size_t>(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    pollfd p{fd, POLLOUT, 0};
    int r = poll(&p, 1, timeout_ms < 0 ? 0 : timeout_ms);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return false;
  }
  return true;
}

void FdClose(int fd) {
  if (fd >= 0) close(fd);
}

bool MakeDirs(const std::string& dir, std::vector<std::string>* created, std::string* error) {
  if (dir.empty()) {
    if (error) *error = "empty directory name";
    return false;
  }
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = dir.find('/', pos + 1);
    std::string part = dir.substr(0, pos);
    if (part.empty() || part == "/") continue;
    if (mkdir(part.c_str(), 0755) == 0) {
      if (created) created->push_back(part);
      continue;
    }
    int err = errno;
    struct stat st{};
    if (err == EEXIST && stat(part.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
    SetError(error, ("mkdir " + part).c_str(), err == EEXIST ? ENOTDIR : err);
    return false;
  }
  return true;
}

bool WriteLineFile(const std::string& path, const std::string& line, std::string* error) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    SetError(error, ("open " + path).c_str(), errno);
    return false;
  }
  std::string text = line + "\n";
  size_t done = 0;
  while (done < text.size()) {
    ssize_t w = write(fd, text.data() + done, text.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      SetError(error, ("write " + path).c_str(), w < 0 ? errno : EIO);
      close(fd);
      return false;
    }
    done += static_cast<size_t>(w);
  }
  if (close(fd) != 0) {
    SetError(error, ("close " + path).c_str(), errno);
    return false;
  }
  return true;
}

bool MakeSymlink(const std::string& target, const std::string& link, std::string* error) {
  struct stat st{};
  if (lstat(link.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) unlink(link.c_str());
  if (symlink(target.c_str(), link.c_str()) != 0) {
    SetError(error, ("symlink " + link).c_str(), errno);
    return false;
  }
  return true;
}

bool RemovePath(const std::string& path) {
  struct stat st{};
  if (lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  if (S_ISDIR(st.st_mode)) return rmdir(path.c_str()) == 0;
  return unlink(path.c_str()) == 0;
}

int FifoOpenForReading(const std::string& path, bool* created, std::string* error) {
  *created = false;
  if (mkfifo(path.c_str(), 0600) == 0) {
    *created = true;
  } else if (errno != EEXIST) {
    SetError(error, "mkfifo", errno);
    return -1;
  }
  struct stat st{};
  if (stat(path.c_str(), &st) != 0 || !S_ISFIFO(st.st_mode)) {
    if (error) *error = path + " is not a named pipe";
    return -1;
  }
  // Read and write: opening does not wait for a writer, and the last writer leaving is no end of file.
  int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) SetError(error, "open", errno);
  return fd;
}

std::string ReadSymlink(const std::string& path) {
  char buf[4096];
  ssize_t n = readlink(path.c_str(), buf, sizeof buf);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) return {};
  return std::string(buf, static_cast<size_t>(n));
}

}  // namespace platform
