// A program run with its standard output on a descriptor the test chooses (a pipe's writing end,
// a terminal) and its standard error into a pipe, in a session of its own: the test reads both,
// may close its end of the output as a reader that dies would, and sends it signals itself.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/pty.h"

extern char** environ;

namespace e2e {

class PipedTool {
 public:
  ~PipedTool() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      Wait(10000);
    }
    for (int fd : {out_, err_}) platform::FdClose(fd);
  }

  // out_fd is the tool's standard output; out_reader the test's end of it (-1: none).
  bool Start(const std::vector<std::string>& argv, const std::vector<std::pair<std::string, std::string>>& env,
             int out_fd, int out_reader) {
    int err[2];
    if (::pipe2(err, O_CLOEXEC) != 0) return false;
    std::vector<std::string> strings;
    for (const auto& [name, value] : env) strings.push_back(name + "=" + value);
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      bool given = false;  // the value given here wins over the test's own
      for (const auto& pair : env) given = given || entry.rfind(pair.first + "=", 0) == 0;
      if (!given) strings.push_back(entry);
    }
    std::vector<char*> envp, args;
    for (auto& s : strings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argv_copy = argv;
    for (auto& s : argv_copy) args.push_back(s.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);  // no terminal of the test's sends it signals
    const int rc = ::posix_spawn(&pid_, args[0], &actions, &attr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(err[1]);
    err_ = err[0];
    out_ = out_reader;
    if (rc != 0) pid_ = -1;
    return rc == 0;
  }

  // Reads until the output (or standard error) holds text, at most timeout_ms.
  bool WaitForOut(const std::string& text, int timeout_ms = 20000) { return WaitFor(out_, &out_text_, text, timeout_ms); }
  bool WaitForErr(const std::string& text, int timeout_ms = 20000) { return WaitFor(err_, &err_text_, text, timeout_ms); }
  // The reader of the output goes away (a pipe: nobody reads it; a terminal's master: hung up).
  void CloseReader() { platform::FdClose(std::exchange(out_, -1)); }
  void Signal(int signal) const { ::kill(pid_, signal); }

  // Reads what comes until the tool ends; its exit status, -1 when it was still running.
  int Wait(int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        Drain(out_, &out_text_, 0);
        Drain(err_, &err_text_, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      if (std::chrono::steady_clock::now() > deadline) return -1;
      Drain(out_, &out_text_, 20);
      Drain(err_, &err_text_, 20);
    }
  }

  const std::string& Out() const { return out_text_; }
  const std::string& Err() const { return err_text_; }

 private:
  // Reads what fd has (waiting at most timeout_ms for something).
  static void Drain(int& fd, std::string* text, int timeout_ms) {
    uint8_t buffer[4096];
    for (long n; (n = platform::FdRead(fd, buffer, sizeof buffer, timeout_ms)) > 0; timeout_ms = 0)
      text->append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n));
  }
  static bool WaitFor(int fd, std::string* text, const std::string& wanted, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (text->find(wanted) == std::string::npos) {
      if (fd < 0 || std::chrono::steady_clock::now() > deadline) return false;
      Drain(fd, text, 50);
    }
    return true;
  }

  pid_t pid_ = -1;
  int out_ = -1, err_ = -1;
  std::string out_text_, err_text_;
};

}  // namespace e2e
