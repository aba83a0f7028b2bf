// Test-only LD_PRELOAD library: a device node that is not ours to open yet, as right after a
// plug-in before the system has given it its group.
//
// HALVERN_SHIM_DENY_PATH=PATH makes open() of exactly PATH fail with EACCES while the file
// HALVERN_SHIM_DENY_UNTIL does not exist (for ever when that is not set). Each refusal creates
// HALVERN_SHIM_DENY_UNTIL.denied, so that a test can see the program tried before it lets it in.
// Everything else goes to the real open.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using OpenFn = int (*)(const char*, int, ...);

OpenFn Real(const char* name, std::atomic<OpenFn>* slot) {
  OpenFn fn = slot->load(std::memory_order_acquire);
  if (!fn) {
    fn = reinterpret_cast<OpenFn>(dlsym(RTLD_NEXT, name));
    slot->store(fn, std::memory_order_release);
  }
  return fn;
}

// True (with errno set) when this open is to be refused.
bool Denied(const char* path) {
  const char* deny = std::getenv("HALVERN_SHIM_DENY_PATH");
  if (!deny || !path || std::strcmp(deny, path) != 0) return false;
  const char* until = std::getenv("HALVERN_SHIM_DENY_UNTIL");
  struct stat st {};
  if (until && ::stat(until, &st) == 0) return false;
  if (until) {
    const std::string seen = std::string(until) + ".denied";
    OpenFn real = reinterpret_cast<OpenFn>(dlsym(RTLD_NEXT, "open"));
    const int fd = real ? real(seen.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644) : -1;
    if (fd >= 0) ::close(fd);
  }
  errno = EACCES;
  return true;
}

mode_t ModeOf(int flags, va_list args) {
  return (flags & (O_CREAT | O_TMPFILE)) ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
  static std::atomic<OpenFn> real{nullptr};
  va_list args;
  va_start(args, flags);
  const mode_t mode = ModeOf(flags, args);
  va_end(args);
  if (Denied(path)) return -1;
  return Real("open", &real)(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  static std::atomic<OpenFn> real{nullptr};
  va_list args;
  va_start(args, flags);
  const mode_t mode = ModeOf(flags, args);
  va_end(args);
  if (Denied(path)) return -1;
  return Real("open64", &real)(path, flags, mode);
}

}  // extern "C"
