// POSIX serial back end: termios on the device node that discovery maps COM<n> to
// ($HALVERN_DEV_ROOT/ttyACM<n-1>), poll() for arrival, a wake pipe to stop the thread.
#include "platform/serial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>

namespace platform {
namespace {

constexpr int kWriteTimeoutMs = 4000;

class PosixSerialDevice final : public SerialDevice {
 public:
  ~PosixSerialDevice() override { Close(); }

  int Open(uint8_t port, DataReceivedFn on_data) override {
    Close();
    in_use_ = not_ready_ = missing_ = false;
    failure_.clear();
    if (port == 0) return -1;
    std::string name = DeviceName(port);
    int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      const int error = errno;
      in_use_ = error == EBUSY;  // another program has the terminal in exclusive mode
      not_ready_ = error == EACCES || error == ENOENT;
      missing_ = error == ENOENT;
      failure_ = std::generic_category().message(error);
      return -1;
    }
    // Exclusive access: a second halvern finds the port busy through the lock, any other program
    // (a terminal, a modem prober) through the terminal's exclusive mode.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      in_use_ = error == EWOULDBLOCK;
      failure_ = std::generic_category().message(error);
      ::close(fd);
      return -1;
    }
    ::ioctl(fd, TIOCEXCL);
    if (!ConfigureLine(fd) || ::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
      failure_ = std::generic_category().message(errno);
      ::ioctl(fd, TIOCNXCL);
      ::close(fd);
      wake_[0] = wake_[1] = -1;
      return -1;
    }
    // Stale input goes; output is not purged: on a pseudo-terminal that would discard what the
    // previous user of the line wrote and the other side has not read yet.
    ::tcflush(fd, TCIFLUSH);
    fd_ = fd;
    on_data_ = on_data;
    gone_.store(false);
    try {
      thread_ = std::thread([this] { EventThread(); });
    } catch (...) {
      CloseHandles();
      return -1;
    }
    return 0;
  }

  int Write(const uint8_t* data, size_t count) override {
    if (fd_ < 0 || gone_.load()) return 0;  // nothing goes to a line that is gone
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWriteTimeoutMs);
    while (count > 0) {
      ssize_t n = ::write(fd_, data, count);
      if (n > 0) {
        data += n;
        count -= static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return 0;  // a hang-up among them
      if (gone_.load()) return 0;
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return 0;
      pollfd p{fd_, POLLOUT, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) return 0;
    }
    return 1;
  }

  int Drain() override {
    if (fd_ < 0) return 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWriteTimeoutMs);
    bool waiting = false;
    for (;;) {
      int pending = 0;
      if (::ioctl(fd_, TIOCOUTQ, &pending) != 0) return waiting ? 0 : 1;  // hung up
      if (pending <= 0) return 1;
      waiting = true;
      if (gone_.load() || std::chrono::steady_clock::now() >= deadline) return 0;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  size_t Read(uint8_t* buffer, size_t max) override {
    size_t got = 0;
    if (fd_ >= 0 && max > 0) {
      ssize_t n;
      do {
        n = ::read(fd_, buffer, max);
      } while (n < 0 && errno == EINTR);
      if (n > 0) got = static_cast<size_t>(n);
      // End of file on a terminal, or an error other than "nothing queued", is a hang-up; the
      // notification thread sees it on its next look and reports it.
    }
    {
      // Tell the notification thread the queue was looked at, so it may report the next arrival.
      std::lock_guard lock(mutex_);
      ++reads_;
    }
    cv_.notify_all();
    return got;
  }

  void Close() override {
    if (thread_.joinable()) {
      {
        std::lock_guard lock(mutex_);
        stopping_ = true;
      }
      cv_.notify_all();
      char c = 0;
      [[maybe_unused]] auto r = ::write(wake_[1], &c, 1);
      thread_.join();
    }
    if (fd_ >= 0) {
      if (!gone_.load()) DrainOutput();
      ::tcflush(fd_, TCIFLUSH);  // never TCOFLUSH: it would throw away the last request sent
      ::ioctl(fd_, TIOCNXCL);    // the next program may open the line again
    }
    CloseHandles();
  }

  bool LineGone() const override { return gone_.load(); }
  bool OpenFailedInUse() const override { return in_use_; }
  bool OpenFailedNotReady() const override { return not_ready_; }
  bool OpenFailedMissing() const override { return missing_; }
  std::string OpenFailureText() const override { return failure_; }

  std::string DeviceName(uint8_t port) const override {
    const char* root = std::getenv("HALVERN_DEV_ROOT");
    std::string name = (root && *root) ? root : "/dev";
    return name + "/ttyACM" + std::to_string(static_cast<int>(port) - 1);
  }

 private:
  static bool ConfigureLine(int fd) {
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) return false;
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (::cfsetispeed(&tio, B115200) != 0 || ::cfsetospeed(&tio, B115200) != 0) return false;
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) return false;
    int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(fd, TIOCMBIS, &lines);  // a pseudo-terminal has no modem lines; that is fine
    return true;
  }

  // Arrival is reported once per batch: after a report the thread waits until the
  // receiver has read, then looks again (the line is level-triggered, the receiver wants edges).
  // A hang-up (the device unplugged, the other side closed) is reported once and ends the
  // thread: a line that is gone reports itself ready for ever, and would be polled in a loop.
  void EventThread() {
    for (;;) {
      pollfd p[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
      int r = ::poll(p, 2, -1);
      if (r < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (p[1].revents) return;
      if (!p[0].revents) continue;
      std::unique_lock lock(mutex_);
      if (stopping_) return;
      if (p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
        lock.unlock();
        // What arrived before the hang-up stays readable through Read.
        gone_.store(true);
        if (on_data_) on_data_(SERIAL_LINE_GONE);
        return;
      }
      uint64_t seen = reads_;
      lock.unlock();
      if (on_data_) on_data_(SERIAL_DATA);
      lock.lock();
      cv_.wait(lock, [&] { return stopping_ || reads_ != seen; });
      if (stopping_) return;
    }
  }

  void DrainOutput() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWriteTimeoutMs);
    int pending = 0;
    while (::ioctl(fd_, TIOCOUTQ, &pending) == 0 && pending > 0 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  void CloseHandles() {
    if (fd_ >= 0) ::close(fd_);
    if (wake_[0] >= 0) ::close(wake_[0]);
    if (wake_[1] >= 0) ::close(wake_[1]);
    fd_ = wake_[0] = wake_[1] = -1;
    stopping_ = false;
    on_data_ = nullptr;
    gone_.store(false);
  }

  int fd_ = -1;
  int wake_[2] = {-1, -1};
  DataReceivedFn on_data_ = nullptr;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable cv_;
  uint64_t reads_ = 0;
  bool stopping_ = false;
  std::atomic<bool> gone_{false};
  bool in_use_ = false;  // why the last Open failed
  bool not_ready_ = false;
  bool missing_ = false;
  std::string failure_;
};

}  // namespace

std::unique_ptr<SerialDevice> CreateSerialDevice() { return std::make_unique<PosixSerialDevice>(); }

}  // namespace platform
