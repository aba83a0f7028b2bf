#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/fifo.h"

namespace platform {

namespace {

constexpr int kPipeBytes = 1 << 20;  // what an unprivileged process may ask for by default

// strerror's text may live in a buffer every thread shares; the GNU strerror_r gives the fixed
// text or fills the buffer it is given.
std::string ErrorText(int error) {
  char buffer[128];
  return ::strerror_r(error, buffer, sizeof buffer);
}

}  // namespace

struct FifoWriter::Os {
  int fd = -1;
  bool is_fifo = false;
  std::atomic<bool> gone{false};
};

FifoWriter::~FifoWriter() { Close(); }

bool FifoWriter::Open(const std::string& path, std::string* error) {
  Close();
  // A reader that goes away must show as a failed write, not end the process.
  (void)::signal(SIGPIPE, SIG_IGN);  // SIGPIPE is valid: this cannot fail
  int fd;
  do fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (error) *error = ErrorText(errno);
    return false;
  }
  struct stat st {};
  os_ = new Os;
  os_->fd = fd;
  os_->is_fifo = ::fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
  if (!os_->is_fifo && ::ftruncate(fd, 0) != 0) {
    if (error) *error = ErrorText(errno);
    Close();
    return false;
  }
  // A pipe is written without blocking: TryWrite takes what fits, Write waits for room itself.
  if (os_->is_fifo) (void)::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);  // best effort
#ifdef F_SETPIPE_SZ
  // Room for bursts while the reader is busy: fewer trips through the writing thread.
  if (os_->is_fifo) (void)::fcntl(fd, F_SETPIPE_SZ, kPipeBytes);  // best effort
#endif
  return true;
}

size_t FifoWriter::TryWrite(const void* data, size_t n) {
  if (!os_ || os_->gone) return 0;
  const char* p = static_cast<const char*>(data);
  size_t done = 0;
  while (done < n) {
    const ssize_t w = ::write(os_->fd, p + done, n - done);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;  // full: the rest waits
    if (w <= 0) {
      os_->gone = true;
      break;
    }
    done += static_cast<size_t>(w);
  }
  return done;
}

bool FifoWriter::Write(const void* data, size_t n) {
  if (!os_ || os_->gone) return false;
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t w = ::write(os_->fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd room{os_->fd, POLLOUT, 0};
      if (::poll(&room, 1, -1) < 0 && errno != EINTR) {
        os_->gone = true;
        return false;
      }
      continue;  // room, or an error the next write reports
    }
    if (w <= 0) {
      os_->gone = true;
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool FifoWriter::ReaderGone() {
  if (!os_) return true;
  if (os_->gone || !os_->is_fifo) return os_->gone;
  // The write end of a pipe whose reader has closed polls as an error.
  pollfd p{os_->fd, 0, 0};
  if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL))) os_->gone = true;
  return os_->gone;
}

void FifoWriter::Close() {
  if (!os_) return;
  if (os_->fd >= 0) ::close(os_->fd);
  delete os_;
  os_ = nullptr;
}

bool FifoWriter::IsOpen() const { return os_ != nullptr; }

}  // namespace platform
