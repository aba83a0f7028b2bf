// Child programs on Windows: pipes for the standard streams, read by one thread per pipe (an
// anonymous pipe cannot be waited on), handed to the caller's thread by Pump. The program runs
// in a process group of its own, so that a stop request (Ctrl-Break) reaches it alone.
#include <windows.h>
#include <psapi.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/child.h"

namespace platform {

struct Child::Os {
  HANDLE process = nullptr;
  HANDLE job = nullptr;      // a shell's: ending it ends every program the shell started
  HANDLE input = nullptr;
  HANDLE arrived = nullptr;  // auto-reset: a reader has something new (or has ended)
  std::mutex mutex;          // covers the pending text and the ended flags
  std::string pending[2];
  bool ended[2] = {false, false};
  std::thread readers[2];
};

namespace {

using Clock = std::chrono::steady_clock;

void CloseHandleOnce(HANDLE& h) {
  if (h) ::CloseHandle(h);
  h = nullptr;
}

// One argument quoted so that the program's C runtime reads it back unchanged.
std::string Quote(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
  std::string q = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    q.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    q.push_back(c);
  }
  q.append(backslashes * 2, '\\');
  return q + "\"";
}

// The current environment plus env, as a block of NUL-terminated strings.
std::string EnvironmentBlock(const std::vector<std::pair<std::string, std::string>>& env) {
  std::string block;
  if (char* all = ::GetEnvironmentStringsA()) {
    for (const char* e = all; *e; e += std::strlen(e) + 1) {
      std::string s = e;
      bool replaced = false;
      for (const auto& [k, v] : env) replaced |= _strnicmp(s.c_str(), (k + "=").c_str(), k.size() + 1) == 0;
      if (!replaced) block += s + '\0';
    }
    ::FreeEnvironmentStringsA(all);
  }
  for (const auto& [k, v] : env) block += k + "=" + v + '\0';
  return block + '\0';
}

// Output read as text, as the C runtime reads a text-mode file: the CR LF a Windows program's
// text mode writes for each LF come back as LF, so that the caller can write the output on
// through its own text-mode stream without doubling every CR. A CR at the end of one read waits
// for the next to see whether an LF follows.
void AppendText(std::string& to, const char* data, size_t n, bool& held_cr) {
  std::string text = held_cr ? "\r" : "";
  text.append(data, n);
  held_cr = !text.empty() && text.back() == '\r';
  if (held_cr) text.pop_back();
  for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at)) text.erase(at, 1);
  to += text;
}

int MsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

Child::~Child() {
  if (!os_) return;
  if (os_->job) ::TerminateJobObject(os_->job, 1);
  if (os_->process) {
    ::TerminateProcess(os_->process, 1);
    ::WaitForSingleObject(os_->process, INFINITE);
  }
  CloseHandleOnce(os_->input);
  for (auto& reader : os_->readers)
    if (reader.joinable()) reader.join();
  CloseHandleOnce(os_->process);
  CloseHandleOnce(os_->arrived);
  CloseHandleOnce(os_->job);
  delete os_;
}

bool Child::Start(const std::vector<std::string>& argv, const std::vector<std::pair<std::string, std::string>>& env,
                  const std::string& cwd) {
  if (os_ || argv.empty()) return false;
  std::string command_line;
  for (const auto& arg : argv) {
    if (!command_line.empty()) command_line += ' ';
    command_line += Quote(arg);
  }
  return StartCommandLine(argv[0], command_line, env, cwd, false);
}

bool Child::StartShell(const std::string& command,
                       const std::vector<std::pair<std::string, std::string>>& env) {
  if (os_) return false;
  char shell[MAX_PATH] = {};
  const DWORD n = ::GetEnvironmentVariableA("ComSpec", shell, sizeof shell);
  const std::string program = n > 0 && n < sizeof shell ? shell : "C:\\Windows\\System32\\cmd.exe";
  // /s: cmd takes what stands between the outer quotes as the command, quotes inside included.
  return StartCommandLine(program, "cmd.exe /d /s /c \"" + command + "\"", env, "", true);
}

bool Child::StartCommandLine(const std::string& program, std::string command_line,
                             const std::vector<std::pair<std::string, std::string>>& env, const std::string& cwd,
                             bool own_job) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE in_read = nullptr, in_write = nullptr, out_read[2] = {nullptr, nullptr}, out_write[2] = {nullptr, nullptr};
  auto close_all = [&] {
    for (HANDLE* h : {&in_read, &in_write, &out_read[0], &out_read[1], &out_write[0], &out_write[1]}) CloseHandleOnce(*h);
  };
  if (!::CreatePipe(&in_read, &in_write, &inherit, 0) || !::CreatePipe(&out_read[0], &out_write[0], &inherit, 0) ||
      !::CreatePipe(&out_read[1], &out_write[1], &inherit, 0)) {
    close_all();
    return false;
  }
  // Only the program's ends are inherited.
  for (HANDLE h : {in_write, out_read[0], out_read[1]}) ::SetHandleInformation(h, HANDLE_FLAG_INHERIT, 0);

  std::string environment = EnvironmentBlock(env);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in_read;
  startup.hStdOutput = out_write[0];
  startup.hStdError = out_write[1];
  PROCESS_INFORMATION info{};
  // A shell starts suspended until it is in its job, so that nothing it starts escapes the job.
  const DWORD flags = CREATE_NEW_PROCESS_GROUP | (own_job ? CREATE_SUSPENDED : 0);
  const BOOL started = ::CreateProcessA(program.c_str(), command_line.data(), nullptr, nullptr, TRUE, flags,
                                        environment.data(),
                                        cwd.empty() ? nullptr : cwd.c_str(), &startup, &info);
  // The program holds its own copies now; ours would keep its pipes open for ever.
  CloseHandleOnce(in_read);
  CloseHandleOnce(out_write[0]);
  CloseHandleOnce(out_write[1]);
  if (!started) {
    close_all();
    return false;
  }
  HANDLE job = nullptr;
  if (own_job) {
    job = ::CreateJobObjectA(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job) ::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    if (job && !::AssignProcessToJobObject(job, info.hProcess)) CloseHandleOnce(job);
    ::ResumeThread(info.hThread);
  }
  ::CloseHandle(info.hThread);
  os_ = new Os;
  os_->job = job;
  os_->process = info.hProcess;
  os_->input = in_write;
  os_->arrived = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
  pid_ = static_cast<int>(info.dwProcessId);
  in_ = 0;
  out_fd_ = err_fd_ = 1;  // open until its reader has seen the end
  for (int i = 0; i < 2; ++i) {
    os_->readers[i] = std::thread([os = os_, i, pipe = out_read[i]] {
      char buf[65536];
      DWORD n = 0;
      bool held_cr = false;
      while (::ReadFile(pipe, buf, sizeof buf, &n, nullptr) && n > 0) {
        std::lock_guard lock(os->mutex);
        AppendText(os->pending[i], buf, n, held_cr);
        ::SetEvent(os->arrived);
      }
      ::CloseHandle(pipe);
      std::lock_guard lock(os->mutex);
      if (held_cr) os->pending[i] += '\r';
      os->ended[i] = true;
      ::SetEvent(os->arrived);
    });
  }
  return true;
}

bool Child::Send(const std::string& data) {
  if (!os_ || !os_->input) return false;
  size_t done = 0;
  while (done < data.size()) {
    DWORD n = 0;
    if (!::WriteFile(os_->input, data.data() + done, static_cast<DWORD>(data.size() - done), &n, nullptr)) return false;
    done += n;
  }
  return true;
}

void Child::CloseInput() {
  if (os_) CloseHandleOnce(os_->input);
  in_ = -1;
}

void Child::RequestStop() {
  if (os_ && os_->process) ::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, static_cast<DWORD>(pid_));
}

void Child::Interrupt() { RequestStop(); }  // Ctrl-C cannot be sent to one process group

bool Child::Pump(int timeout_ms) {
  if (!os_ || !OutputOpen()) return false;
  ::WaitForSingleObject(os_->arrived, static_cast<DWORD>(timeout_ms));
  std::lock_guard lock(os_->mutex);
  out_ += os_->pending[0];
  err_ += os_->pending[1];
  os_->pending[0].clear();
  os_->pending[1].clear();
  if (os_->ended[0]) out_fd_ = -1;
  if (os_->ended[1]) err_fd_ = -1;
  return OutputOpen();
}

void Child::PumpAll(const std::vector<Child*>& children, int timeout_ms) {
  std::vector<HANDLE> events;
  for (Child* c : children)
    if (c->os_ && c->OutputOpen() && events.size() < MAXIMUM_WAIT_OBJECTS) events.push_back(c->os_->arrived);
  if (events.empty()) return;
  if (::WaitForMultipleObjects(static_cast<DWORD>(events.size()), events.data(), FALSE,
                               static_cast<DWORD>(timeout_ms)) == WAIT_TIMEOUT)
    return;
  for (Child* c : children) {
    if (!c->os_ || !c->OutputOpen()) continue;
    ::SetEvent(c->os_->arrived);  // the wait above may have taken this child's signal
    c->Pump(0);
  }
}

int Child::Wait(int timeout_ms) {
  if (!os_ || !os_->process) return status_;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (OutputOpen()) {
    int left = MsLeft(deadline);
    if (left == 0) {
      timed_out_ = true;
      if (os_->job) ::TerminateJobObject(os_->job, 1);
      ::TerminateProcess(os_->process, 1);
      break;
    }
    Pump(left);
  }
  ::WaitForSingleObject(os_->process, INFINITE);
  for (auto& reader : os_->readers)
    if (reader.joinable()) reader.join();
  Pump(0);
  out_fd_ = err_fd_ = -1;
  DWORD code = 0;
  ::GetExitCodeProcess(os_->process, &code);
  FILETIME created, exited, kernel, user;
  if (::GetProcessTimes(os_->process, &created, &exited, &kernel, &user)) {
    auto seconds = [](const FILETIME& t) {
      return static_cast<double>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
    };
    cpu_seconds_ = seconds(kernel) + seconds(user);
  }
  PROCESS_MEMORY_COUNTERS memory{};
  if (::GetProcessMemoryInfo(os_->process, &memory, sizeof memory))
    peak_rss_kib_ = static_cast<int64_t>(memory.PeakWorkingSetSize / 1024);
  CloseHandleOnce(os_->process);
  pid_ = -1;
  status_ = static_cast<int>(code);
  return status_;
}

}  // namespace platform
