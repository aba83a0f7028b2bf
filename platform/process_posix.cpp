// POSIX child processes and stop requests for foreground services.
#include "platform/process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <system_error>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace platform {
namespace {

volatile sig_atomic_t g_child = 0;           // pid of the running child, 0 when none
volatile sig_atomic_t g_pending_signal = 0;  // a signal that came before the child existed

void ForwardSignal(int sig) {
  pid_t child = static_cast<pid_t>(g_child);
  if (child > 0) {
    kill(child, sig);
  } else {
    g_pending_signal = sig;
  }
}

int g_stop_pipe[2] = {-1, -1};

volatile sig_atomic_t g_stop_noted = 0;

void NoteStop(int) {
  g_stop_noted = 1;
  int saved = errno;
  char c = 1;
  if (g_stop_pipe[1] >= 0) (void)!write(g_stop_pipe[1], &c, 1);
  errno = saved;
}

constexpr int kForwarded[] = {SIGINT, SIGTERM, SIGHUP};

}  // namespace

int RunProcess(const std::vector<std::string>& argv,
               const std::vector<std::pair<std::string, std::string>>& env,
               std::string* error) {
  if (argv.empty()) {
    if (error) *error = "no command given";
    return 127;
  }
  // The child's environment: ours, with the given variables replaced or added.
  std::vector<std::string> env_text;
  for (char** e = environ; e && *e; ++e) {
    std::string entry(*e);
    bool replaced = false;
    for (const auto& [name, value] : env) {
      if (entry.compare(0, name.size() + 1, name + "=") == 0) replaced = true;
    }
    if (!replaced) env_text.push_back(std::move(entry));
  }
  for (const auto& [name, value] : env) env_text.emplace_back(name).append(1, '=').append(value);
  std::vector<char*> envp;
  envp.reserve(env_text.size() + 1);
  for (auto& s : env_text) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  argp.reserve(args.size() + 1);
  for (auto& s : args) argp.push_back(s.data());
  argp.push_back(nullptr);

  // The child starts with default signal handling and an empty mask.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int sig : kForwarded) sigaddset(&defaults, sig);
  sigaddset(&defaults, SIGPIPE);
  sigset_t empty;
  sigemptyset(&empty);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setsigmask(&attr, &empty);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  struct sigaction forward{};
  forward.sa_handler = ForwardSignal;
  sigemptyset(&forward.sa_mask);
  struct sigaction old[3];
  g_child = 0;
  g_pending_signal = 0;
  for (int i = 0; i < 3; ++i) sigaction(kForwarded[i], &forward, &old[i]);

  pid_t pid = 0;
  int rc = posix_spawnp(&pid, argp[0], nullptr, &attr, argp.data(), envp.data());
  posix_spawnattr_destroy(&attr);
  int status = 127;
  if (rc != 0) {
    if (error) *error = args[0] + ": " + std::error_code(rc, std::generic_category()).message();
  } else {
    g_child = pid;
    if (g_pending_signal) kill(pid, g_pending_signal);
    int ws = 0;
    pid_t r;
    do {
      r = waitpid(pid, &ws, 0);
    } while (r < 0 && errno == EINTR);
    if (r == pid) {
      if (WIFEXITED(ws)) status = WEXITSTATUS(ws);
      else if (WIFSIGNALED(ws)) status = 128 + WTERMSIG(ws);
    } else if (error) {
      *error = "waitpid: " + std::error_code(errno, std::generic_category()).message();
    }
  }
  g_child = 0;
  for (int i = 0; i < 3; ++i) sigaction(kForwarded[i], &old[i], nullptr);
  return status;
}

void WaitForStopRequest() {
  g_stop_noted = 0;
  const bool woken = pipe(g_stop_pipe) == 0;
  if (woken) {
    for (int fd : g_stop_pipe) fcntl(fd, F_SETFD, FD_CLOEXEC);
    fcntl(g_stop_pipe[1], F_SETFL, fcntl(g_stop_pipe[1], F_GETFL) | O_NONBLOCK);
  }
  struct sigaction note{};
  note.sa_handler = NoteStop;
  sigemptyset(&note.sa_mask);
  struct sigaction old_int{}, old_term{};
  sigaction(SIGINT, &note, &old_int);
  sigaction(SIGTERM, &note, &old_term);

  // Standard input is never read: a server started by a script with its input at end of file,
  // or in the background of a terminal, keeps serving until it is told to stop.
  while (!g_stop_noted) {
    pollfd p = {woken ? g_stop_pipe[0] : -1, POLLIN, 0};
    (void)poll(&p, 1, woken ? -1 : 100);  // without the pipe, the flag is looked at now and then
  }
  sigaction(SIGINT, &old_int, nullptr);
  sigaction(SIGTERM, &old_term, nullptr);
  if (woken) {
    int rd = g_stop_pipe[0], wr = g_stop_pipe[1];
    g_stop_pipe[0] = g_stop_pipe[1] = -1;
    close(rd);
    close(wr);
  }
}

void IgnoreBrokenPipe() { (void)signal(SIGPIPE, SIG_IGN); }  // SIGPIPE is valid: this cannot fail

}  // namespace platform
