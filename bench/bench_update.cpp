// Firmware update throughput against the simulated target on a pseudo-terminal.
//
// Paced: the target keeps to 115200 baud 8N1 in both directions (10 bits a byte), so with one
// chunk in flight no run can beat 268 request bytes plus the 15-byte answer per chunk. The
// figure is that physical limit over the measured time (1.0 = no host overhead at all).
//
// Unpaced: what the host adds per chunk round trip (median over a 1 MiB image, taken from the
// arrival times of consecutive chunks at the target), and the tool's peak memory and processor
// time against its wall time.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/spawn.h"
#include "sim/sim_target.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kByteSeconds = 10.0 / 115200;  // 8N1: start bit, 8 data bits, stop bit
constexpr size_t kHeader = 12;
constexpr size_t kAnswer = kHeader + 3;         // header and IE_RESPONSE
constexpr uint16_t kFwStart = 0x000E, kFwNext = 0x0010, kFwEnd = 0x0012, kSysReset = 0x001C;

struct Run {
  bool ok = false;
  std::string error;
  double wall_seconds = 0;
  double cpu_seconds = 0;
  long long peak_rss_kib = 0;
  std::vector<sim::Frame> frames;
};

// One `update` run of an image of `size` bytes against a fresh simulated target.
Run RunUpdate(const sim::Config& config, size_t size) {
  Run run;
  std::random_device random;
  const auto dir = std::filesystem::temp_directory_path() / ("halvern-bench-update-" + std::to_string(random()));
  std::filesystem::create_directories(dir);
  {
    std::mt19937 gen(1);
    std::ofstream image(dir / "fw.bin", std::ios::binary);
    for (size_t i = 0; i < size; ++i) image.put(static_cast<char>(gen()));
  }
  sim::Target target(config);
  if (!target.Start() || !target.LayOutTree((dir / "tree").string())) {
    run.error = "simulated target did not start: " + target.LastError();
  } else {
    const auto start = Clock::now();
    auto r = platform::SpawnCapture(
        {HALVERN_PROBE_EXE, HALVERN_EXE, "-p", "RX5120", "-cmd", "update", "-fw", (dir / "fw.bin").string()},
        {{"HALVERN_SYSFS_ROOT", target.SysfsRoot()}, {"HALVERN_DEV_ROOT", target.DevRoot()}}, "", 600000);
    run.wall_seconds = std::chrono::duration<double>(Clock::now() - start).count();
    int status = -1;
    std::istringstream first(r.out);
    first >> status >> run.cpu_seconds >> run.peak_rss_kib;
    // The tool may be gone before the target has taken in its last frame.
    const bool reset = target.WaitForEvent(kSysReset, std::chrono::seconds(5));
    run.frames = target.Received();
    run.ok = r.exit_status == 0 && status == 0 && reset;
    if (!run.ok) run.error = "update failed: " + r.out.substr(0, 200) + r.err;
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return run;
}

const sim::Frame* Find(const std::vector<sim::Frame>& frames, uint16_t event) {
  auto it = std::find_if(frames.begin(), frames.end(), [&](const sim::Frame& f) { return f.event_id == event; });
  return it == frames.end() ? nullptr : &*it;
}

void BM_UpdatePacedVsLineLimit(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  sim::Config config;
  config.paced = true;
  config.pace_host_bytes = true;
  for (auto _ : state) {
    Run run = RunUpdate(config, size);
    const sim::Frame* first = Find(run.frames, kFwStart);
    const sim::Frame* end = Find(run.frames, kFwEnd);
    if (!run.ok || !first || !end) {
      state.SkipWithError(run.error.c_str());
      return;
    }
    // From the start request's arrival to the end request's: the start answer, each further
    // chunk with its answer, and the end request itself.
    const size_t chunks = (size + 255) / 256;
    const double limit = static_cast<double>(kAnswer + (chunks - 1) * (kHeader + 256 + kAnswer) + kHeader) * kByteSeconds;
    const double measured = std::chrono::duration<double>(end->received_at - first->received_at).count();
    state.SetIterationTime(measured);
    state.counters["limit_s"] = limit;
    state.counters["ratio_to_limit"] = limit / measured;
    state.counters["host_overhead_us_per_chunk"] = (measured - limit) / static_cast<double>(chunks) * 1e6;
  }
}
BENCHMARK(BM_UpdatePacedVsLineLimit)->Arg(256 * 1024)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

void BM_UpdateUnpacedRoundTrip(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  for (auto _ : state) {
    Run run = RunUpdate(sim::Config{}, size);
    if (!run.ok) {
      state.SkipWithError(run.error.c_str());
      return;
    }
    // A round trip: from one chunk's arrival at the target to the next one's.
    std::vector<double> trips;
    const sim::Frame* previous = nullptr;
    for (const auto& f : run.frames) {
      if (f.event_id != kFwStart && f.event_id != kFwNext) continue;
      if (previous) trips.push_back(std::chrono::duration<double, std::micro>(f.received_at - previous->received_at).count());
      previous = &f;
    }
    std::sort(trips.begin(), trips.end());
    const sim::Frame* first = Find(run.frames, kFwStart);
    const sim::Frame* end = Find(run.frames, kFwEnd);
    const double transfer = std::chrono::duration<double>(end->received_at - first->received_at).count();
    state.SetIterationTime(transfer);
    state.counters["round_trip_median_us"] = trips.empty() ? 0 : trips[trips.size() / 2];
    state.counters["round_trip_p99_us"] = trips.empty() ? 0 : trips[trips.size() * 99 / 100];
    state.counters["tool_peak_rss_MiB"] = static_cast<double>(run.peak_rss_kib) / 1024;
    state.counters["tool_cpu_s"] = run.cpu_seconds;
    state.counters["tool_wall_s"] = run.wall_seconds;
    state.counters["tool_cpu_per_wall"] = run.cpu_seconds / run.wall_seconds;
  }
}
BENCHMARK(BM_UpdateUnpacedRoundTrip)->Arg(1024 * 1024)->UseManualTime()->Iterations(1)->Repetitions(5)->Unit(
    benchmark::kMillisecond);

// The floor of the memory figure: the probe running a program that does nothing.
void BM_ProbeFloor(benchmark::State& state) {
  for (auto _ : state) {
    auto r = platform::SpawnCapture({HALVERN_PROBE_EXE, HALVERN_PROBE_EXE}, {}, "", 10000);
    long long status = 0, rss = 0;
    double cpu = 0;
    std::istringstream(r.out) >> status >> cpu >> rss;
    state.counters["peak_rss_MiB"] = static_cast<double>(rss) / 1024;
  }
}
BENCHMARK(BM_ProbeFloor)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
