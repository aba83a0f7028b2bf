// Device changes on Linux: inotify on the device directory ($HALVERN_DEV_ROOT, /dev by default),
// where the tty nodes of USB serial devices appear and vanish (sysfs reports no such events to
// inotify). Without inotify, or when the directory is gone, a poll of four times a second.
#include "platform/device_watch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace platform {
namespace {

constexpr int kPollMs = 250;  // at most four listings a second when nothing tells us
constexpr uint32_t kMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF |
                           IN_MOVE_SELF;

std::string DevRoot() {
  const char* root = std::getenv("HALVERN_DEV_ROOT");
  return root && *root ? root : "/dev";
}

}  // namespace

struct DeviceWatch::Os {
  std::string dir = DevRoot();
  int notify = -1;  // inotify descriptor, -1 when polling
  int watch = -1;   // the directory's watch, -1 when it is not watched
  int wake[2] = {-1, -1};
  std::chrono::steady_clock::time_point next_poll{};  // polling: when the next listing is due
  std::vector<std::string> removed;  // device nodes deleted (or moved away) since TakeRemoved

  // (Re)watches the directory; false when it cannot be watched now (then the caller polls).
  bool Watch() {
    if (notify < 0) return false;
    if (watch >= 0) return true;
    watch = inotify_add_watch(notify, dir.c_str(), kMask);
    return watch >= 0;
  }

  // Reads every pending event; true when one concerns a serial device or the directory itself.
  bool Drain() {
    alignas(inotify_event) char buffer[4096];
    bool relevant = false;
    for (;;) {
      const ssize_t n = read(notify, buffer, sizeof buffer);
      if (n <= 0) return relevant;
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        // The folder itself gone or moved, or events lost: anything may have changed.
        if (event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_Q_OVERFLOW)) {
          if (event->mask & IN_IGNORED) watch = -1;  // gone: watched again, or polled, from now on
          relevant = true;
        } else if (event->len > 0 && std::strncmp(event->name, "tty", 3) == 0) {
          relevant = true;  // other nodes (disks, sound, ...) come and go without concerning us
          if (event->mask & (IN_DELETE | IN_MOVED_FROM)) removed.push_back(dir + "/" + event->name);
        }
      }
    }
  }
};

DeviceWatch::DeviceWatch() : os_(std::make_unique<Os>()) {
  os_->notify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  os_->Watch();
  if (pipe2(os_->wake, O_NONBLOCK | O_CLOEXEC) != 0) os_->wake[0] = os_->wake[1] = -1;
}

DeviceWatch::~DeviceWatch() {
  for (int fd : {os_->notify, os_->wake[0], os_->wake[1]})
    if (fd >= 0) close(fd);
}

bool DeviceWatch::Polling() const { return os_->watch < 0; }

std::vector<std::string> DeviceWatch::TakeRemoved() { return std::exchange(os_->removed, {}); }

void DeviceWatch::Wake() {
  if (os_->wake[1] >= 0) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(os_->wake[1], &byte, 1);
  }
}

bool DeviceWatch::Wait(int timeout_ms) {
  using Clock = std::chrono::steady_clock;
  const bool watching = os_->Watch();
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(0, timeout_ms));
  for (;;) {
    const auto now = Clock::now();
    // Polling: the next listing is due a quarter of a second after the last one.
    if (!watching && now >= os_->next_poll) {
      os_->next_poll = now + std::chrono::milliseconds(kPollMs);
      return true;
    }
    const auto until = watching ? deadline : std::min(deadline, os_->next_poll);
    const int wait_ms = static_cast<int>(
        std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1));
    pollfd fds[2] = {{os_->wake[0], POLLIN, 0}, {watching ? os_->notify : -1, POLLIN, 0}};
    poll(fds, 2, Clock::now() >= deadline ? 0 : wait_ms);
    if (fds[0].revents & POLLIN) {
      char bytes[64];
      while (read(os_->wake[0], bytes, sizeof bytes) > 0) {
      }
      return true;
    }
    if (watching && (fds[1].revents & POLLIN) && os_->Drain()) return true;
    if (watching && os_->watch < 0) return true;  // the directory went: list, then poll
    if (Clock::now() >= deadline && (watching || Clock::now() < os_->next_poll)) return false;
  }
}

}  // namespace platform
