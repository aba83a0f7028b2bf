// Tracer ingest: the simulated target pushes trace indications of 64-byte messages as fast as
// the pseudo-terminal takes them; the tool runs its tracer console against it. Reported: the
// events per second that reach the trace file (every event sent must be there, in order),
// the tool's processor time per event, and how far the file ever lags behind.
//
// HALVERN_BENCH_SECONDS sets how long the target pushes (default 10).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/child.h"
#include "sim/sim_target.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr size_t kDataSize = 64;
constexpr size_t kPacketSize = kDataSize + 7;
constexpr size_t kRecordSize = 14 + 3 * kPacketSize + 2 * ((kPacketSize + 7) / 8);  // 245
constexpr double kLineEventsPerSecond = 11520.0 / (12 + 12 + 5 + kDataSize);        // 115200 baud, 8N1

Bytes TraceInd(uint32_t sequence) {
  Bytes b = {0x40, 1, 2, 0x40, 1, 1, 0x40, 1, 83, 0x40, 1, 0x00,
             0x1B, uint8_t(kDataSize + 2), 0, uint8_t(kDataSize), 0};
  for (size_t i = 0; i < kDataSize; ++i) b.push_back(uint8_t(i < 4 ? sequence >> (8 * i) : i));
  return b;
}

// The sequence numbers of the records in a decoded trace file, or a mismatch count.
std::vector<uint32_t> Sequences(const std::string& scrambled, size_t* bad_records) {
  std::string text = scrambled;
  for (size_t k = 0; k < text.size(); ++k) text[k] = char(text[k] ^ "Q&Z"[k % 3]);
  std::vector<uint32_t> sequences;
  *bad_records = 0;
  for (size_t at = 0; at + kRecordSize <= text.size(); at += kRecordSize) {
    const std::string r = text.substr(at, kRecordSize);
    if (r.compare(0, 7, "BEGIN\r\n") != 0 || r.compare(r.size() - 9, 9, "\r\nEND\r\n\r\n") != 0) {
      ++*bad_records;
      continue;
    }
    // Data bytes 0..3 are packet bytes 7..10: the last of line one and the first three of line two.
    auto byte = [&](size_t i) { return uint32_t(std::stoul(r.substr(7 + 3 * i + 2 * (i / 8), 2), nullptr, 16)); };
    sequences.push_back(byte(7) | byte(8) << 8 | byte(9) << 16 | byte(10) << 24);
  }
  if (text.size() % kRecordSize) ++*bad_records;
  return sequences;
}

void BM_TracerIngest(benchmark::State& state) {
  const char* seconds_text = std::getenv("HALVERN_BENCH_SECONDS");
  const double seconds = seconds_text ? std::atof(seconds_text) : 10.0;
  std::random_device random;
  const auto dir = std::filesystem::temp_directory_path() / ("halvern-bench-tracer-" + std::to_string(random()));
  const auto work = dir / "work";
  std::filesystem::create_directories(work);
  std::ofstream(work / "logger.cfg") << "a\n";

  for (auto _ : state) {
    sim::Target target;
    if (!target.Start() || !target.LayOutTree((dir / "tree").string())) {
      state.SkipWithError("simulated target did not start");
      break;
    }
    platform::Child tool;
    if (!tool.Start({HALVERN_EXE, "-p", "RX5120", "-cmd", "tracer", "-tfile", (work / "logger.cfg").string()},
                    {{"HALVERN_SYSFS_ROOT", target.SysfsRoot()}, {"HALVERN_DEV_ROOT", target.DevRoot()}},
                    work.string()) ||
        !tool.WaitForText("h\t=>\t help\n\n", 15000)) {
      state.SkipWithError("the tracer did not start");
      break;
    }
    std::filesystem::path trace;
    for (const auto& e : std::filesystem::directory_iterator(work))
      if (e.path().filename().string().rfind("cmbs_dect_tracer-", 0) == 0) trace = e.path();

    // Push for the set time; now and then look at how far the file lags behind.
    uint32_t sent = 0;
    uint64_t max_lag = 0;
    const auto start = Clock::now();
    const auto stop = start + std::chrono::duration<double>(seconds);
    while (Clock::now() < stop) {
      for (int i = 0; i < 256; ++i) target.PushTraceIndication(TraceInd(sent++));
      std::error_code ec;
      const uint64_t size = std::filesystem::file_size(trace, ec);
      max_lag = std::max<uint64_t>(max_lag, sent - size / kRecordSize);
    }
    // The file is complete once every record is in it: nothing waits in a buffer for the close.
    const uint64_t expected = uint64_t(sent) * kRecordSize;
    std::error_code ec;
    while (std::filesystem::file_size(trace, ec) < expected && Clock::now() - stop < std::chrono::seconds(30))
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    const auto complete = Clock::now();
    tool.Send("q");
    tool.Finish(15000);

    std::ifstream in(trace, std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(in)), {});
    size_t bad = 0;
    const std::vector<uint32_t> sequences = Sequences(content, &bad);
    uint64_t in_order = 0;
    for (size_t i = 0; i < sequences.size(); ++i) in_order += sequences[i] == i;

    const double elapsed = std::chrono::duration<double>(complete - start).count();
    state.SetIterationTime(elapsed);
    state.counters["events"] = sent;
    state.counters["events_per_s"] = sent / elapsed;
    state.counters["lost"] = double(sent) - double(in_order);
    state.counters["bad_records"] = double(bad);
    state.counters["cpu_us_per_event"] = 1e6 * tool.CpuSeconds() / sent;
    state.counters["x_line_rate"] = sent / elapsed / kLineEventsPerSecond;
    state.counters["max_lag_events"] = double(max_lag);
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}
BENCHMARK(BM_TracerIngest)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
