// halvern-extcap live capture: the simulated target pushes trace indications of 64-byte
// messages and a reader on the fifo takes the pcap packets as a packet viewer would.
//   BM_ExtcapLatency: one indication at a time (the next once the last has arrived), 10,000
//     of them: median and 99th percentile from the target's write to the packet on the fifo.
//   BM_ExtcapSustained: indications as fast as the pseudo-terminal takes them for
//     HALVERN_BENCH_SECONDS (default 10): packets per second on the fifo, every one there and
//     in order.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
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
constexpr double kLineEventsPerSecond = 11520.0 / (12 + 12 + 5 + kDataSize);  // 115200 baud, 8N1

Bytes TraceInd(uint32_t sequence) {
  Bytes b = {0x40, 1, 2, 0x40, 1, 1, 0x40, 1, 83, 0x40, 1, 0x00,
             0x1B, uint8_t(kDataSize + 2), 0, uint8_t(kDataSize), 0};
  for (size_t i = 0; i < kDataSize; ++i) b.push_back(uint8_t(i < 4 ? sequence >> (8 * i) : i));
  return b;
}

// The viewer: reads the fifo, notes each packet's sequence number and when it arrived.
class Viewer {
 public:
  explicit Viewer(const std::string& path) {
    ::mkfifo(path.c_str(), 0600);
    thread_ = std::thread([this, path] {
      const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      std::string data;
      size_t at = 24;  // after the file header
      bool writer_seen = false;
      char buf[65536];
      while (fd >= 0 && !stop_) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n == 0 && writer_seen) break;
        if (n <= 0) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
          continue;
        }
        writer_seen = true;
        const auto now = Clock::now();
        data.append(buf, static_cast<size_t>(n));
        size_t found = 0;
        std::lock_guard lock(mutex_);  // once per read: the viewer's own cost stays small
        while (at + 16 <= data.size()) {
          const uint32_t len = Le32(data, at + 8);
          if (at + 16 + len > data.size()) break;
          sequences_.push_back(Le32(data, at + 16 + 7));
          arrivals_.push_back(now);
          ++found;
          at += 16 + len;
        }
        count_.fetch_add(found);
      }
      if (fd >= 0) ::close(fd);
    });
  }
  ~Viewer() {
    stop_ = true;
    thread_.join();
  }
  size_t Count() const { return count_.load(); }
  bool WaitFor(size_t n, std::chrono::milliseconds timeout) const {
    const auto end = Clock::now() + timeout;
    while (Count() < n)
      if (Clock::now() > end) return false;
    return true;
  }
  std::vector<uint32_t> Sequences() {
    std::lock_guard lock(mutex_);
    return sequences_;
  }
  Clock::time_point Arrival(size_t i) {
    std::lock_guard lock(mutex_);
    return arrivals_[i];
  }

 private:
  static uint32_t Le32(const std::string& s, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(s[at + i]);
    return v;
  }
  std::atomic<bool> stop_{false};
  std::atomic<size_t> count_{0};
  std::mutex mutex_;
  std::vector<uint32_t> sequences_;
  std::vector<Clock::time_point> arrivals_;
  std::thread thread_;
};

// A capture running against a target, with the viewer on its fifo.
struct Session {
  std::filesystem::path dir;
  sim::Target target;
  std::unique_ptr<Viewer> viewer;
  platform::Child tool;

  bool Start() {
    std::random_device random;
    dir = std::filesystem::temp_directory_path() / ("halvern-bench-extcap-" + std::to_string(random()));
    std::filesystem::create_directories(dir);
    if (!target.Start() || !target.LayOutTree((dir / "tree").string())) return false;
    viewer = std::make_unique<Viewer>((dir / "fifo").string());
    if (!tool.Start({HALVERN_EXTCAP_EXE, "--capture", "--extcap-interface", "halvern-1", "--fifo",
                     (dir / "fifo").string()},
                    {{"HALVERN_SYSFS_ROOT", target.SysfsRoot()}, {"HALVERN_DEV_ROOT", target.DevRoot()}}))
      return false;
    tool.CloseInput();
    return target.WaitForEvent(0x3801, std::chrono::seconds(15));
  }
  void Stop() {
    tool.RequestStop();
    tool.Wait(15000);
    viewer.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};

void BM_ExtcapLatency(benchmark::State& state) {
  constexpr uint32_t kCount = 10000;
  for (auto _ : state) {
    Session s;
    if (!s.Start()) {
      state.SkipWithError("the capture did not start");
      break;
    }
    std::vector<double> latency_us;
    latency_us.reserve(kCount);
    for (uint32_t i = 0; i < kCount; ++i) {
      const Bytes indication = TraceInd(i);
      const auto sent = Clock::now();
      s.target.PushTraceIndication(indication);
      if (!s.viewer->WaitFor(i + 1, std::chrono::seconds(5))) break;
      latency_us.push_back(std::chrono::duration<double, std::micro>(s.viewer->Arrival(i) - sent).count());
    }
    const size_t got = latency_us.size();
    std::sort(latency_us.begin(), latency_us.end());
    s.Stop();
    if (got < kCount) {
      state.SkipWithError("packets were lost");
      break;
    }
    state.counters["packets"] = double(got);
    state.counters["median_us"] = latency_us[got / 2];
    state.counters["p99_us"] = latency_us[got * 99 / 100];
    state.counters["max_us"] = latency_us.back();
    state.counters["cpu_us_per_packet"] = 1e6 * s.tool.CpuSeconds() / double(got);
  }
}
BENCHMARK(BM_ExtcapLatency)->Iterations(1)->Unit(benchmark::kSecond);

void BM_ExtcapSustained(benchmark::State& state) {
  const char* seconds_text = std::getenv("HALVERN_BENCH_SECONDS");
  const double seconds = seconds_text ? std::atof(seconds_text) : 10.0;
  for (auto _ : state) {
    Session s;
    if (!s.Start()) {
      state.SkipWithError("the capture did not start");
      break;
    }
    uint32_t sent = 0;
    const auto start = Clock::now();
    const auto stop = start + std::chrono::duration<double>(seconds);
    while (Clock::now() < stop)
      for (int i = 0; i < 256; ++i) s.target.PushTraceIndication(TraceInd(sent++));
    s.viewer->WaitFor(sent, std::chrono::seconds(30));
    const auto complete = Clock::now();
    const std::vector<uint32_t> sequences = s.viewer->Sequences();
    s.Stop();
    uint64_t in_order = 0;
    for (size_t i = 0; i < sequences.size(); ++i) in_order += sequences[i] == i;
    const double elapsed = std::chrono::duration<double>(complete - start).count();
    state.SetIterationTime(elapsed);
    state.counters["events"] = sent;
    state.counters["events_per_s"] = sent / elapsed;
    state.counters["lost"] = double(sent) - double(in_order);
    state.counters["x_line_rate"] = sent / elapsed / kLineEventsPerSecond;
    state.counters["cpu_us_per_event"] = 1e6 * s.tool.CpuSeconds() / sent;
  }
}
BENCHMARK(BM_ExtcapSustained)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
