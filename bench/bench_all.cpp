// Servicing several repeaters at once: `update -all` of 4 repeaters against one repeater alone,
// all paced at 115200 baud in both directions, measured in the same run.
//
// The children of -all share nothing but the processor, so the target is a total wall time of
// at most 1.05 times one repeater's. The tool runs under halvern_probe, which counts every
// process of the run (the -all parent and its children): total processor time, and the
// largest peak resident set of any one of them.
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/spawn.h"
#include "sim/sim_target.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kImageSize = 256 * 1024;

struct Run {
  bool ok = false;
  std::string error;
  double wall_seconds = 0;
  double cpu_seconds = 0;
  long long peak_rss_kib = 0;
};

// One update of a 256 KiB image on `count` paced repeaters: with -all when all_mode.
Run RunUpdate(int count, bool all_mode) {
  Run run;
  std::random_device random;
  const auto dir = std::filesystem::temp_directory_path() / ("halvern-bench-all-" + std::to_string(random()));
  std::filesystem::create_directories(dir);
  {
    std::mt19937 gen(1);
    std::ofstream image(dir / "fw.bin", std::ios::binary);
    for (size_t i = 0; i < kImageSize; ++i) image.put(static_cast<char>(gen()));
  }
  {
    std::vector<std::unique_ptr<sim::Target>> targets;
    for (int i = 0; i < count && run.error.empty(); ++i) {
      sim::Config config;
      config.paced = true;
      config.pace_host_bytes = true;
      targets.push_back(std::make_unique<sim::Target>(config));
      if (!targets.back()->Start() || !targets.back()->LayOutTree((dir / "tree").string(), static_cast<uint8_t>(i + 1)))
        run.error = "simulated target did not start: " + targets.back()->LastError();
    }
    if (run.error.empty()) {
      std::vector<std::string> args = {HALVERN_PROBE_EXE, HALVERN_EXE, "-p", "RX5120", "-cmd", "update",
                                       "-fw", (dir / "fw.bin").string()};
      if (all_mode) args.push_back("-all");
      const auto start = Clock::now();
      auto r = platform::SpawnCapture(
          args, {{"HALVERN_SYSFS_ROOT", targets[0]->SysfsRoot()}, {"HALVERN_DEV_ROOT", targets[0]->DevRoot()}}, "",
          600000);
      run.wall_seconds = std::chrono::duration<double>(Clock::now() - start).count();
      int status = -1;
      std::istringstream first(r.out);
      first >> status >> run.cpu_seconds >> run.peak_rss_kib;
      run.ok = r.exit_status == 0 && status == 0;
      for (const auto& target : targets) run.ok = run.ok && target->FirmwareEnded();
      if (!run.ok) run.error = "update failed: " + r.out.substr(0, 400) + r.err;
    }
    while (!targets.empty()) targets.pop_back();  // the last laid out goes first
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return run;
}

void BM_UpdateFourAtOnceVsOneAlone(benchmark::State& state) {
  for (auto _ : state) {
    const Run one = RunUpdate(1, false);
    const Run four = RunUpdate(4, true);
    if (!one.ok || !four.ok) {
      state.SkipWithError((one.ok ? four.error : one.error).c_str());
      return;
    }
    state.SetIterationTime(four.wall_seconds);
    state.counters["one_alone_s"] = one.wall_seconds;
    state.counters["four_at_once_s"] = four.wall_seconds;
    state.counters["ratio"] = four.wall_seconds / one.wall_seconds;
    state.counters["one_alone_cpu_s"] = one.cpu_seconds;
    state.counters["one_alone_peak_rss_kib"] = static_cast<double>(one.peak_rss_kib);
    // Every process of the -all run: the parent and its four children.
    state.counters["four_cpu_s_total"] = four.cpu_seconds;
    state.counters["four_cpu_s_per_child"] = four.cpu_seconds / 4;  // the parent's share included
    state.counters["four_peak_rss_kib_max"] = static_cast<double>(four.peak_rss_kib);
  }
}
BENCHMARK(BM_UpdateFourAtOnceVsOneAlone)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
