// A program run with its standard input fed while it runs and its output read as it comes:
// how the end-to-end tests and benchmarks drive the interactive consoles key by key.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace platform {

class Child {
 public:
  Child() = default;
  ~Child();  // kills the program if it still runs
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Starts argv[0] with argv, the current environment plus env, in directory cwd (the
  // current one when empty), in a session of its own. Standard input, output and error are pipes;
  // output is read as text (on Windows the CR LF of the program's text mode come back as LF).
  bool Start(const std::vector<std::string>& argv, const std::vector<std::pair<std::string, std::string>>& env,
             const std::string& cwd = "");
  // Runs command through the system's shell (sh -c; cmd /c on Windows) as Start runs a program.
  // When the time of Wait runs out, the shell and every program it started are ended.
  bool StartShell(const std::string& command, const std::vector<std::pair<std::string, std::string>>& env);
  // Writes to the program's standard input; false when it no longer reads it.
  bool Send(const std::string& data);
  // Ends the program's standard input.
  void CloseInput();
  // Collects output until done(output so far) holds or timeout_ms passed; true when it held.
  bool WaitForOutput(const std::function<bool(const std::string&)>& done, int timeout_ms);
  // True when the output so far contains text, waiting at most timeout_ms for it.
  bool WaitForText(const std::string& text, int timeout_ms);
  // Ends input, collects all output and waits for the end; kills the program after timeout_ms.
  // Returns the exit status (128 + signal when a signal ended it), -1 when it was not started.
  int Finish(int timeout_ms);
  // The same with standard input left open: the program has to end by itself.
  int Wait(int timeout_ms);

  // Asks the program to stop (SIGTERM on POSIX); it is expected to end by itself.
  void RequestStop();
  // Interrupts the program as Ctrl-C on its terminal would (SIGINT on POSIX).
  void Interrupt();
  // The program's process id while it runs, -1 otherwise.
  int Pid() const { return pid_; }
  // True while either output pipe is still open: the program may still write.
  bool OutputOpen() const { return out_fd_ >= 0 || err_fd_ >= 0; }
  // Reads whatever any of the programs has written (waiting at most timeout_ms for something).
  static void PumpAll(const std::vector<Child*>& children, int timeout_ms);

  const std::string& Out() const { return out_; }
  const std::string& Err() const { return err_; }
  // Lets go of the output read so far (its memory too); what comes later is kept again.
  void ReleaseOutput() {
    std::string().swap(out_);
    std::string().swap(err_);
  }
  bool TimedOut() const { return timed_out_; }
  // Processor time (user and system) the program used; known after Finish.
  double CpuSeconds() const { return cpu_seconds_; }
  // The program's peak resident memory in KiB; known after Finish (0 when the system cannot tell).
  int64_t PeakRssKib() const { return peak_rss_kib_; }

 private:
  // Reads what is there (waiting at most timeout_ms); false once both outputs are closed.
  bool Pump(int timeout_ms);
  // Windows: starts program with the whole command line, in a job of its own when own_job.
  bool StartCommandLine(const std::string& program, std::string command_line,
                        const std::vector<std::pair<std::string, std::string>>& env, const std::string& cwd,
                        bool own_job);

  int pid_ = -1;
  int in_ = -1, out_fd_ = -1, err_fd_ = -1;
  std::string out_, err_;
  bool timed_out_ = false;
  int status_ = -1;
  double cpu_seconds_ = 0;
  int64_t peak_rss_kib_ = 0;
  struct Os;          // what only one system needs (Windows: handles and reader threads)
  Os* os_ = nullptr;
};

}  // namespace platform
