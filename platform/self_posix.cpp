#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <thread>

#include "platform/self.h"

namespace platform {
namespace {

std::function<void(StopRequest)>* g_on_stop = nullptr;

StopRequest KindOf(int signal) {
  switch (signal) {
    case SIGINT:
      return StopRequest::kInterrupt;
    case SIGTERM:
      return StopRequest::kTerminate;
    default:
      return StopRequest::kHangUp;
  }
}

}  // namespace

std::string SelfExePath() {
  char path[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

bool StdoutIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

void CatchStopRequests(std::function<void(StopRequest)> on_stop) {
  g_on_stop = new std::function<void(StopRequest)>(std::move(on_stop));  // lives as long as the process
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGHUP);
  // Blocked here, so in every thread started later: a request can never end the process
  // between two writes of a frame; only the waiting thread below takes it.
  ::pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  std::thread([stops] {
    for (;;) {
      int signal = 0;
      if (::sigwait(&stops, &signal) == 0) (*g_on_stop)(KindOf(signal));
    }
  }).detach();
}

void CatchHangUps(bool started_by_parent) {
  if (!g_on_stop) return;
  (void)::signal(SIGPIPE, SIG_IGN);  // SIGPIPE is valid: this cannot fail
  // The parent's end arrives as SIGHUP, which the waiting thread takes as a hang-up. A parent
  // gone before this call is seen below: its end of our output pipe is closed with it.
  if (started_by_parent) (void)::prctl(PR_SET_PDEATHSIG, SIGHUP);
  std::thread([] {
    // Asking for no event, the wait ends only on POLLERR (a pipe nobody reads), POLLHUP (a
    // terminal hung up) or POLLNVAL (no standard output at all, which is not a loss).
    pollfd out{STDOUT_FILENO, 0, 0};
    while (::poll(&out, 1, -1) < 0 && errno == EINTR) {
    }
    if (out.revents & (POLLERR | POLLHUP)) (*g_on_stop)(StopRequest::kOutputLost);
  }).detach();
}

}  // namespace platform
