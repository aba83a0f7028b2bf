#include "platform/console.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace platform {
namespace {

termios g_saved;  // the terminal's mode while a key is being read
volatile sig_atomic_t g_raw = 0;

// Written once by ConsoleInterrupt and never read: a reader polls it beside standard input.
struct InterruptPipe {
  int fds[2] = {-1, -1};
  InterruptPipe() {
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) fds[0] = fds[1] = -1;
  }
};

InterruptPipe& Interrupt() {
  static InterruptPipe pipe;
  return pipe;
}

void RestoreAndReraise(int signal) {
  if (g_raw) ::tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
  // Only the signals caught here come back: neither call can fail.
  (void)::signal(signal, SIG_DFL);
  (void)::raise(signal);
}

}  // namespace

void ConsoleInterrupt() {
  const char c = 1;
  [[maybe_unused]] auto n = ::write(Interrupt().fds[1], &c, 1);
}

// Reads one byte from standard input; -1 at end of input or on an error.
int ConsoleReadByte() {
  unsigned char c;
  for (;;) {
    pollfd p[2] = {{STDIN_FILENO, POLLIN, 0}, {Interrupt().fds[0], POLLIN, 0}};
    if (::poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (p[1].revents) return kConsoleInterrupted;
    ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n == 1) return c;
    if (n < 0 && errno == EINTR) continue;
    return -1;
  }
}

int ConsoleGetKey() {
  if (!::isatty(STDIN_FILENO) || ::tcgetattr(STDIN_FILENO, &g_saved) != 0) return ConsoleReadByte();
  termios raw = g_saved;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  struct sigaction restore {}, old_int{}, old_term{};
  restore.sa_handler = RestoreAndReraise;
  ::sigemptyset(&restore.sa_mask);
  ::sigaction(SIGINT, &restore, &old_int);
  ::sigaction(SIGTERM, &restore, &old_term);
  g_raw = 1;
  ::tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  int key = ConsoleReadByte();
  ::tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
  g_raw = 0;
  ::sigaction(SIGINT, &old_int, nullptr);
  ::sigaction(SIGTERM, &old_term, nullptr);
  return key;
}

}  // namespace platform
