// A station (-watch) against simulated repeaters laid out in a tree of its own, for the
// benchmarks that run one: the repeaters start unplugged and are plugged in as the bench goes.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "platform/child.h"
#include "sim/sim_target.h"

namespace station_bench {

using Clock = std::chrono::steady_clock;

inline double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// The peak resident memory of the process itself in KiB (VmHWM), its children not counted: what
// wait4 reports is the largest of the process and every child it waited for.
inline int64_t OwnPeakKib(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.starts_with("VmHWM:")) return std::atoll(line.c_str() + 6);
  return 0;
}

// The processor time (user and system) of the process itself so far, its children not counted:
// what wait4 reports holds the children it waited for too.
inline double OwnCpuSeconds(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), {});
  const size_t close = stat.rfind(')');  // the name may hold blanks and parentheses
  if (close == std::string::npos) return -1;
  std::vector<std::string> fields;
  std::string field;
  for (size_t i = close + 2; i <= stat.size(); ++i) {
    if (i == stat.size() || stat[i] == ' ') {
      fields.push_back(field);
      field.clear();
    } else {
      field += stat[i];
    }
  }
  // After the name: state is field 3 of the whole line, utime 14 and stime 15.
  if (fields.size() < 13) return -1;
  return static_cast<double>(std::atoll(fields[11].c_str()) + std::atoll(fields[12].c_str())) /
         static_cast<double>(sysconf(_SC_CLK_TCK));
}

inline int Count(const std::string& out, const std::string& text) {
  int n = 0;
  for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++n;
  return n;
}

struct Bench {
  std::filesystem::path dir;
  std::vector<std::unique_ptr<sim::Target>> targets;

  Bench() {
    std::random_device random;
    dir = std::filesystem::temp_directory_path() / ("halvern-bench-watch-" + std::to_string(random()));
    std::filesystem::create_directories(dir / "tree" / "dev");
    std::filesystem::create_directories(dir / "tree" / "sys");
  }
  ~Bench() {
    while (!targets.empty()) targets.pop_back();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }

  // count unplugged repeaters on ports 1..count, serial numbers RX9001 on.
  bool Add(int count, sim::Config config) {
    for (int i = 0; i < count; ++i) {
      config.usb_serial = "RX" + std::to_string(9001 + i);
      auto t = std::make_unique<sim::Target>(config);
      if (!t->Start() || !t->LayOutTree((dir / "tree").string(), static_cast<uint8_t>(i + 1))) {
        std::fprintf(stderr, "simulated repeater did not start: %s\n", t->LastError().c_str());
        return false;
      }
      t->Unplug();
      targets.push_back(std::move(t));
    }
    return true;
  }

  // A firmware image of random bytes.
  std::string Image(size_t bytes = 256 * 1024) {
    std::mt19937 gen(1);
    std::ofstream image(dir / "fw.bin", std::ios::binary);
    for (size_t i = 0; i < bytes; ++i) image.put(static_cast<char>(gen()));
    return (dir / "fw.bin").string();
  }

  bool Start(platform::Child* child, std::vector<std::string> args) {
    args.insert(args.begin(), {HALVERN_EXE, "-p", "RX5120"});
    return child->Start(args, {{"HALVERN_SYSFS_ROOT", (dir / "tree" / "sys").string()},
                               {"HALVERN_DEV_ROOT", (dir / "tree" / "dev").string()}}) &&
           child->WaitForText("Watching for", 5000);
  }
};

}  // namespace station_bench
