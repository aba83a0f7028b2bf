#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <thread>

#include "platform/self.h"

namespace platform {

std::string SelfExePath() {
  char path[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

bool StdoutIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

void CatchStopRequests(std::function<void()> on_stop) {
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  // Blocked here, so in every thread started later: a request can never end the process
  // between two writes of a frame; only the waiting thread below takes it.
  ::pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  std::thread([stops, on_stop = std::move(on_stop)] {
    for (;;) {
      int signal = 0;
      if (::sigwait(&stops, &signal) == 0) on_stop();
    }
  }).detach();
}

}  // namespace platform
