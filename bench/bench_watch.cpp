// A servicing station (-watch) against simulated repeaters plugged in while it runs. Prints:
//  - latency: from a repeater's appearance (its device node laid out) to the first request the
//    target takes in (median and worst of 12, target median < 300 ms);
//  - idle: processor time of the watch over a period with nothing plugged in (target < 1% of a core);
//  - station: 16 repeaters at the real line rate, plugged in one per second, each updated with a
//    256 KiB image and verified after its restart; total time against the ideal (the last plug-in
//    plus one repeater's update and verification alone, measured in the same run; target within
//    10%), and the peak memory of the watch process itself (its children not counted); then the same again with a log per service and a
//    hook after each (-logdir, -ondone 'cat >/dev/null').
// usage: halvern_bench_watch [idle seconds (60)] [station repeaters (16)]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/station_bench.h"
#include "platform/child.h"
#include "sim/sim_target.h"

namespace {

using namespace std::chrono_literals;
using station_bench::Bench;
using station_bench::Clock;
using station_bench::Count;
using station_bench::Ms;
using station_bench::OwnPeakKib;

void Latency() {
  constexpr int kCount = 12;
  Bench b;
  if (!b.Add(kCount, {})) return;
  platform::Child watch;
  if (!b.Start(&watch, {"-cmd", "version", "-watch"})) return;
  std::vector<double> ms;
  for (int i = 0; i < kCount; ++i) {
    const Clock::time_point plugged = Clock::now();
    if (!b.targets[i]->Plug() || !b.targets[i]->WaitForFrames(1, 5s)) {
      std::fprintf(stderr, "repeater %d was not served\n", i + 1);
      return;
    }
    ms.push_back(Ms(b.targets[i]->Received()[0].received_at - plugged));
    watch.WaitForOutput([&](const std::string& out) { return Count(out, " ended: ") > i; }, 10000);
  }
  watch.RequestStop();
  watch.Wait(10000);
  std::sort(ms.begin(), ms.end());
  std::printf("watch latency, appearance to first request: median %.1f ms, worst %.1f ms (%d repeaters)\n",
              ms[ms.size() / 2], ms.back(), kCount);
}

void Idle(int seconds) {
  Bench b;
  platform::Child watch;
  if (!b.Start(&watch, {"-cmd", "version", "-watch"})) return;
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  watch.RequestStop();
  watch.Wait(10000);
  std::printf("watch idle: %.3f s of processor time in %d s (%.3f%% of one core, start-up included)\n",
              watch.CpuSeconds(), seconds, 100.0 * watch.CpuSeconds() / seconds);
}

// One watch serving `count` repeaters plugged in one per second (with the options extra, and
// with_line: a log per service and a hook after each); seconds from the first plug-in to the last
// one's end, 0 on failure.
double Station(int count, bool with_line, int64_t* peak_kib) {
  sim::Config config;
  config.paced = true;
  config.pace_host_bytes = true;
  config.restart_ms = 1000;
  config.version_after = 0x0103;
  Bench b;
  if (!b.Add(count, config)) return 0;
  platform::Child watch;
  std::vector<std::string> args = {"-cmd", "update", "-fw", b.Image(), "-verify", "-watch"};
  if (with_line) args.insert(args.end(), {"-logdir", (b.dir / "logs").string(), "-ondone", "cat >/dev/null"});
  if (!b.Start(&watch, args)) return 0;
  const Clock::time_point first = Clock::now();
  for (int i = 0; i < count; ++i) {
    std::this_thread::sleep_until(first + std::chrono::seconds(i));
    if (!b.targets[i]->Plug()) return 0;
  }
  const bool done = watch.WaitForOutput([&](const std::string& out) { return Count(out, " ended: ") >= count; },
                                        600000);
  const double seconds = std::chrono::duration<double>(Clock::now() - first).count();
  *peak_kib = OwnPeakKib(watch.Pid());
  watch.RequestStop();
  const int status = watch.Wait(10000);
  if (!done || status != 0 || Count(watch.Out(), " ended: ok") != count) {
    std::fprintf(stderr, "station run failed (status %d):\n%s\n", status, watch.Out().c_str());
    return 0;
  }
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  const int idle_seconds = argc > 1 ? std::atoi(argv[1]) : 60;
  const int count = argc > 2 ? std::atoi(argv[2]) : 16;
  Latency();
  if (idle_seconds > 0) Idle(idle_seconds);
  if (count <= 0) return 0;
  for (const bool with_line : {false, true}) {
    int64_t peak_one = 0, peak_all = 0;
    const double one = Station(1, with_line, &peak_one);
    const double all = Station(count, with_line, &peak_all);
    if (one <= 0 || all <= 0) return 1;
    const double ideal = (count - 1) + one;
    std::printf("station of %d%s: %.1f s; ideal %.1f s (last plug-in %d s + one alone %.1f s): %+.1f%%; "
                "peak memory of the watch %lld KiB (%lld KiB serving one)\n",
                count, with_line ? " with -logdir and -ondone" : "", all, ideal, count - 1, one,
                100.0 * (all - ideal) / ideal, static_cast<long long>(peak_all), static_cast<long long>(peak_one));
  }
  return 0;
}
