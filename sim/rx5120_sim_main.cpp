// rx5120-sim: serves a simulated RX5120 on a pseudo-terminal and lays out the fake
// sysfs and dev tree through which halvern finds it.
//
//   rx5120-sim [options] DIR                    prints the environment to use, serves
//                                               until SIGINT or SIGTERM
//   rx5120-sim [options] DIR -- COMMAND ARGS    runs COMMAND against the target and
//                                               exits with its status
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/process.h"
#include "platform/pty.h"
#include "sim/sim_options.h"
#include "sim/sim_target.h"

namespace {

constexpr int kUsageError = 2;

void PrintUsage(std::FILE* out) {
  std::fputs(
      "usage: rx5120-sim [--version 0x0102] [--build 0x0345] [--paced] [--silent] [--port N]\n"
      "                  [--count C] [--restarts] [--restart-ms MS] [--version-after V]\n"
      "                  [--control FIFO] [--traffic] [--traffic-rate N]\n"
      "                  [--traffic-kinds log,trace] DIR [-- COMMAND ARGS...]\n"
      "\n"
      "Serves a simulated RX5120 on a pseudo-terminal and lays out a fake device tree\n"
      "under DIR (created when missing, removed again on exit).\n"
      "\n"
      "  --version V   product version reported by the hello reply (default 0x0102)\n"
      "  --build B     build number reported by the hello reply (default 0x0345)\n"
      "  --paced       keep to the real line rate of 115200 baud in both directions\n"
      "  --silent      never answer the hello (a target that does not respond)\n"
      "  --port N      appear as COM port N, i.e. ttyACM<N-1> (1 to 255, default 1)\n"
      "  --count C     serve C repeaters in the one tree, on COM ports N to N+C-1, with the\n"
      "                USB serial numbers RX5120-0001, RX5120-0002 and so on (default 1)\n"
      "  --restarts    restart like a real repeater: after a restart request (sent after\n"
      "                an update, or by reboot) the repeater goes away (line hung up, device\n"
      "                node and tree entries removed) and comes back 1.5 s later on the same\n"
      "                port with the same serial number\n"
      "  --restart-ms MS  --restarts, staying away MS milliseconds (0 to 600000)\n"
      "  --version-after V  the version reported after a restart that follows an update,\n"
      "                written as the tool shows it: 01.03.0400 (version 0x0103, build 0x0400)\n"
      "  --control FIFO  read lines \"unplug N\" and \"plug N\" (N: a COM port served) from\n"
      "                the named pipe FIFO (made when missing, removed again on exit) and\n"
      "                unplug or plug that repeater; standard input stays the command's\n"
      "  --traffic     talk by itself once the tool switches logging on: log lines at the\n"
      "                level asked (log), DECT trace messages of calls set up and released\n"
      "                (tracer, halvern-extcap), until logging is switched off\n"
      "  --traffic-rate N  N log lines and N trace messages a second (1 to 1000, default 4);\n"
      "                implies --traffic\n"
      "  --traffic-kinds K  only these kinds: log, trace or log,trace; implies --traffic\n"
      "  -h, --help    show this text\n"
      "\n"
      "With a COMMAND, runs it with HALVERN_SYSFS_ROOT and HALVERN_DEV_ROOT set and exits\n"
      "with its status. Without one, prints the export lines for a shell and serves until\n"
      "SIGINT or SIGTERM; standard input is not read (rx5120-sim DIR & keeps serving).\n",
      out);
}

int BadUsage(const std::string& message) {
  std::cerr << "rx5120-sim: " << message << "\n(try rx5120-sim -h)\n";
  return kUsageError;
}

// A value for a shell's export line, quoted when it needs it.
std::string ShellWord(const std::string& s) {
  bool plain = !s.empty() && s.find_first_not_of(
                                 "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789/._-+,:=@%") ==
                                 std::string::npos;
  if (plain) return s;
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// The repeaters served, released in reverse order: the first one laid out made the
// directories they share, so it removes them last.
class Targets {
 public:
  Targets() = default;
  Targets(const Targets&) = delete;
  Targets& operator=(const Targets&) = delete;
  ~Targets() {
    while (!list_.empty()) list_.pop_back();
  }
  sim::Target& Add(const sim::Config& config) { return *list_.emplace_back(std::make_unique<sim::Target>(config)); }
  const sim::Target& operator[](size_t i) const { return *list_[i]; }
  sim::Target& at(size_t i) { return *list_[i]; }
  size_t size() const { return list_.size(); }

 private:
  std::vector<std::unique_ptr<sim::Target>> list_;
};

// Starts the repeaters and lays out their tree; false after saying why on stderr.
bool StartTargets(const sim::Options& options, Targets* targets) {
  for (unsigned i = 0; i < options.count; ++i) {
    sim::Config one = options.config;
    if (options.counted) one.usb_serial = sim::CountedSerial(i);
    const uint8_t repeater_port = static_cast<uint8_t>(options.port + i);
    sim::Target& target = targets->Add(one);
    if (!target.Start()) {
      std::cerr << "rx5120-sim: cannot create the pseudo-terminal: " << target.LastError() << "\n";
      return false;
    }
    if (!target.LayOutTree(options.dir, repeater_port)) {
      std::cerr << "rx5120-sim: cannot lay out the device tree under " << options.dir << ": " << target.LastError()
                << "\n";
      return false;
    }
  }
  return true;
}

// Tells which COM port each repeater serves on which pseudo-terminal.
void AnnounceTargets(const sim::Options& options, const Targets& targets) {
  for (unsigned i = 0; i < targets.size(); ++i) {
    std::cerr << "rx5120-sim: serving COM" << options.port + i << " on " << targets[i].DevicePath();
    if (options.counted) std::cerr << " (serial number " << sim::CountedSerial(i) << ")";
    std::cerr << "\n";
  }
}

// The control pipe: "unplug N" and "plug N" lines, read on a thread of their own until the
// object goes (before the targets do).
class Control {
 public:
  Control(const sim::Options& options, Targets* targets) : options_(options), targets_(targets) {}
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;
  ~Control() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    platform::FdClose(fd_);
    if (created_) platform::RemovePath(options_.control);
  }

  bool Start() {
    std::string error;
    fd_ = platform::FifoOpenForReading(options_.control, &created_, &error);
    if (fd_ < 0) {
      std::cerr << "rx5120-sim: cannot open the control pipe " << options_.control << ": " << error << "\n";
      return false;
    }
    thread_ = std::thread([this] { Run(); });
    return true;
  }

 private:
  void Run() {
    std::string pending;
    uint8_t buf[256];
    while (!stop_) {
      const long n = platform::FdRead(fd_, buf, sizeof buf, 100);
      if (n <= 0) continue;
      pending.append(reinterpret_cast<const char*>(buf), static_cast<size_t>(n));
      for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1))
        Do(pending.substr(0, end));
    }
  }

  void Do(const std::string& line) {
    std::istringstream words(line);
    std::string verb, rest;
    unsigned port = 0;
    if (!(words >> verb)) return;  // an empty line
    const bool known = (verb == "plug" || verb == "unplug") && (words >> port) && !(words >> rest);
    if (!known || port < options_.port || port >= options_.port + targets_->size()) {
      std::cerr << "rx5120-sim: control: not understood: " << line << " (plug N or unplug N, N a port served)\n";
      return;
    }
    sim::Target& target = targets_->at(port - options_.port);
    if (verb == "unplug") {
      target.Unplug();
      std::cerr << "rx5120-sim: COM" << port << " unplugged\n";
    } else if (target.Plug()) {
      std::cerr << "rx5120-sim: COM" << port << " plugged in on " << target.DevicePath() << "\n";
    } else {
      std::cerr << "rx5120-sim: COM" << port << " cannot be plugged in: " << target.LastError() << "\n";
    }
  }

  const sim::Options& options_;
  Targets* targets_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  int fd_ = -1;
  bool created_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  std::string error;
  auto options = sim::ParseOptions(std::vector<std::string>(argv + 1, argv + argc), &error);
  if (!options) return BadUsage(error);
  if (options->help) {
    PrintUsage(stdout);
    return 0;
  }
  const std::vector<std::string>& command = options->command;

  platform::IgnoreBrokenPipe();
  int status = 0;
  {
    Targets targets;
    if (!StartTargets(*options, &targets)) return 1;
    Control control(*options, &targets);
    if (!options->control.empty() && !control.Start()) return 1;
    const sim::Target& target = targets[0];
    const std::vector<std::pair<std::string, std::string>> env = {
        {"HALVERN_SYSFS_ROOT", target.SysfsRoot()},
        {"HALVERN_DEV_ROOT", target.DevRoot()},
    };
    if (command.empty()) {
      for (const auto& [name, value] : env) std::cout << "export " << name << "=" << ShellWord(value) << "\n";
      std::cout.flush();
      AnnounceTargets(*options, targets);
      platform::WaitForStopRequest();
    } else {
      std::string error;
      status = platform::RunProcess(command, env, &error);
      if (!error.empty()) std::cerr << "rx5120-sim: " << error << "\n";
    }
  }  // the targets stop and their tree is removed here
  return status;
}
