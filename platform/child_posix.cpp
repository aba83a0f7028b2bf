#include "platform/child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

extern char** environ;

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

struct Child::Os {
  bool whole_group = false;  // a shell: ending it ends the programs it started too
};

Child::~Child() {
  const bool whole_group = os_ && os_->whole_group;
  delete os_;
  if (pid_ > 0) {
    ::kill(whole_group ? -pid_ : pid_, SIGKILL);
    int status;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  CloseFd(in_);
  CloseFd(out_fd_);
  CloseFd(err_fd_);
}

bool Child::Start(const std::vector<std::string>& argv, const std::vector<std::pair<std::string, std::string>>& env,
                  const std::string& cwd) {
  if (pid_ > 0 || argv.empty()) return false;
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return false;
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    return false;
  }
  if (::pipe2(err, O_CLOEXEC) != 0) {
    for (int fd : {in[0], in[1], out[0], out[1]}) ::close(fd);
    return false;
  }

  std::vector<std::string> env_strings;
  for (char** e = environ; *e; ++e) {
    std::string s = *e;
    bool replaced = false;
    for (const auto& [k, v] : env) replaced |= s.rfind(k + "=", 0) == 0;
    if (!replaced) env_strings.push_back(s);
  }
  for (const auto& [k, v] : env) env_strings.emplace_back(k).append(1, '=').append(v);
  std::vector<char*> envp, args;
  envp.reserve(env_strings.size() + 1);
  args.reserve(argv.size() + 1);
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argv_copy = argv;
  for (auto& s : argv_copy) args.push_back(s.data());
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // The program starts with no signal held back, whatever this process holds back itself.
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK);
  // Writing to a program that has ended fails instead of ending this process.
  (void)::signal(SIGPIPE, SIG_IGN);  // SIGPIPE is valid: this cannot fail
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, args[0], &actions, &attr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  if (rc != 0) {
    ::close(in[1]);
    ::close(out[0]);
    ::close(err[0]);
    return false;
  }
  pid_ = pid;
  in_ = in[1];
  out_fd_ = out[0];
  err_fd_ = err[0];
  return true;
}

bool Child::Send(const std::string& data) {
  size_t done = 0;
  while (in_ >= 0 && done < data.size()) {
    ssize_t n = ::write(in_, data.data() + done, data.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (!(n < 0 && errno == EINTR)) {
      return false;
    }
  }
  return in_ >= 0;
}

bool Child::StartShell(const std::string& command,
                       const std::vector<std::pair<std::string, std::string>>& env) {
  if (!Start({"/bin/sh", "-c", command}, env)) return false;
  os_ = new Os{true};
  return true;
}

void Child::CloseInput() { CloseFd(in_); }

void Child::RequestStop() {
  if (pid_ > 0) ::kill(pid_, SIGTERM);
}

void Child::Interrupt() {
  if (pid_ > 0) ::kill(pid_, SIGINT);
}

void Child::PumpAll(const std::vector<Child*>& children, int timeout_ms) {
  std::vector<pollfd> fds;
  for (Child* c : children)
    for (int fd : {c->out_fd_, c->err_fd_})
      if (fd >= 0) fds.push_back({fd, POLLIN, 0});
  if (fds.empty()) return;
  if (::poll(fds.data(), fds.size(), timeout_ms) <= 0) return;
  for (Child* c : children)
    if (c->OutputOpen()) c->Pump(0);
}

bool Child::Pump(int timeout_ms) {
  pollfd p[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
  if (out_fd_ < 0 && err_fd_ < 0) return false;
  if (::poll(p, 2, timeout_ms) < 0 && errno != EINTR) return false;
  for (int i = 0; i < 2; ++i) {
    if (p[i].fd < 0 || !p[i].revents) continue;
    char buf[65536];
    ssize_t n = ::read(p[i].fd, buf, sizeof buf);
    if (n > 0) {
      (i == 0 ? out_ : err_).append(buf, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      CloseFd(i == 0 ? out_fd_ : err_fd_);
    }
  }
  return out_fd_ >= 0 || err_fd_ >= 0;
}

int Child::Wait(int timeout_ms) {
  if (pid_ <= 0) return status_;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (out_fd_ >= 0 || err_fd_ >= 0) {
    int left = MsLeft(deadline);
    if (left == 0) {
      timed_out_ = true;
      // Started with a session of its own: the program leads its process group.
      ::kill(os_ && os_->whole_group ? -pid_ : pid_, SIGKILL);
      break;
    }
    Pump(left);
  }
  CloseFd(out_fd_);
  CloseFd(err_fd_);
  int status = 0;
  rusage usage{};
  while (::wait4(pid_, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  cpu_seconds_ = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  peak_rss_kib_ = usage.ru_maxrss;  // Linux counts it in KiB
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return status_;
}

}  // namespace platform
