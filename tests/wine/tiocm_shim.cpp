// Test-only LD_PRELOAD library: modem-control lines for pseudo-terminals.
//
// A pseudo-terminal has no modem lines, and the kernel refuses TIOCMGET, TIOCMSET, TIOCMBIS
// and TIOCMBIC on it. A Windows program under the emulation layer then sees its modem-status
// and line-control calls fail, and its communication-event waits end at once, although a real
// COM port would serve them. This library answers those four requests for terminals whose
// driver refuses them: DTR and RTS as last set, CTS, DSR and carrier always on. Everything
// else goes to the real ioctl.
//
// HALVERN_SHIM_TIOCMGET_DELAY_MS=N makes each modem-status read take N ms more (a slow
// machine, stretched): the emulation's communication-event waits then finish long after they
// were cancelled.
#include <dlfcn.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <ctime>

namespace {

using IoctlFn = int (*)(int, unsigned long, ...);

IoctlFn RealIoctl() {
  static std::atomic<IoctlFn> real{nullptr};
  IoctlFn fn = real.load(std::memory_order_acquire);
  if (!fn) {
    fn = reinterpret_cast<IoctlFn>(dlsym(RTLD_NEXT, "ioctl"));
    real.store(fn, std::memory_order_release);
  }
  return fn;
}

// The output lines of every emulated port (one set for all: the tests drive one port at a time).
std::atomic<int> g_lines{TIOCM_DTR | TIOCM_RTS};
constexpr int kInputLines = TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
constexpr int kOutputLines = TIOCM_DTR | TIOCM_RTS;

void DelayModemStatus() {
  static const long delay_ms = [] {
    const char* text = std::getenv("HALVERN_SHIM_TIOCMGET_DELAY_MS");
    return text ? std::strtol(text, nullptr, 10) : 0L;
  }();
  if (delay_ms <= 0) return;
  timespec t{delay_ms / 1000, (delay_ms % 1000) * 1000000L};
  while (nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

bool IsModemRequest(unsigned long request) {
  return request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC;
}

int Emulate(unsigned long request, int* arg) {
  if (!arg) {
    errno = EFAULT;
    return -1;
  }
  switch (request) {
    case TIOCMGET: *arg = g_lines.load() | kInputLines; break;
    case TIOCMSET: g_lines.store(*arg & kOutputLines); break;
    case TIOCMBIS: g_lines.fetch_or(*arg & kOutputLines); break;
    case TIOCMBIC: g_lines.fetch_and(~(*arg & kOutputLines)); break;
  }
  return 0;
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  IoctlFn real = RealIoctl();
  if (!real) {
    errno = ENOSYS;
    return -1;
  }
  const int saved = errno;
  if (request == TIOCMGET) {
    DelayModemStatus();
    errno = saved;
  }
  const int result = real(fd, request, arg);
  if (result == 0 || !IsModemRequest(request) || (errno != EINVAL && errno != ENOTTY && errno != EIO)) return result;
  const int refusal = errno;
  if (!isatty(fd)) {  // not a terminal: the refusal stands
    errno = refusal;
    return result;
  }
  errno = saved;
  return Emulate(request, static_cast<int*>(arg));
}
