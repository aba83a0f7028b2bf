// rx5120-sim: serves a simulated RX5120 on a pseudo-terminal and lays out the fake
// sysfs and dev tree through which halvern finds it.
//
//   rx5120-sim [options] DIR                    prints the environment to use, serves
//                                               until interrupted or end of input
//   rx5120-sim [options] DIR -- COMMAND ARGS    runs COMMAND against the target and
//                                               exits with its status
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/process.h"
#include "sim/sim_options.h"
#include "sim/sim_target.h"

namespace {

constexpr int kUsageError = 2;

void PrintUsage(std::FILE* out) {
  std::fputs(
      "usage: rx5120-sim [--version 0x0102] [--build 0x0345] [--paced] [--silent] [--port N]\n"
      "                  [--count C] DIR [-- COMMAND ARGS...]\n"
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
      "  -h, --help    show this text\n"
      "\n"
      "With a COMMAND, runs it with HALVERN_SYSFS_ROOT and HALVERN_DEV_ROOT set and exits\n"
      "with its status. Without one, prints the export lines for a shell and serves until\n"
      "SIGINT, SIGTERM or the end of standard input.\n",
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
