// -http: how fresh a station's page is and what serving it costs the station. A watch serves
// simulated repeaters at the real line rate in both directions, plugged in one per second, each
// updated with a firmware image and verified after its restart; once without -http, once with it
// and pages open (readers of /events, each on a connection of its own). Prints:
//  - latency from a progress step in a child to the event that shows it on a page's stream:
//    median, p99 and worst over every step each stream showed, for one repeater and one page, and
//    for the whole station with its pages;
//  - the processor time (user + system) of the station process itself, its children not counted,
//    in the run with -http and pages against the same run without.
//
// A progress step: the update engine counts a chunk as written once the repeater has answered it
// and the next chunk is out, and the child tells "k * 256 bytes" then. The bench times the step
// from the repeater's side: the (k+1)-th firmware frame it took in (the start's chunk is the
// first), less that frame's time on the line at 115200 baud (the simulated repeater takes a frame
// in when its last byte would have crossed the line), is when the child wrote it. An event whose
// unit shows a new byte count is that step's arrival on the stream. Counts of the whole image are
// left out: the child tells those at the transfer's end, not at a chunk. The figures are as exact
// as the simulated line's timing, about half a millisecond either way: a step a stream shows at
// once may come out a few tenths of a millisecond below zero.
//
// usage: halvern_bench_station_page [repeaters (16)] [pages (4)] [image KiB (256)]
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <utility>
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

constexpr uint16_t kFwStart = 0x000E, kFwNext = 0x0010;
constexpr size_t kChunk = 256;
constexpr double kByteSeconds = 10.0 / 115200;  // a byte on the line: start bit, 8 data bits, stop bit

// One page's event stream, read in a thread of its own: each state event with the time it came.
class Reader {
 public:
  explicit Reader(int port) {
    thread_ = std::thread([this, port] {
      httplib::Client client("127.0.0.1", port);
      client.set_read_timeout(30, 0);
      std::string pending;
      client.Get("/events", [&](const char* data, size_t n) {
        const Clock::time_point now = Clock::now();
        pending.append(data, n);
        for (size_t end = pending.find("\n\n"); end != std::string::npos; end = pending.find("\n\n")) {
          const std::string event = pending.substr(0, end);
          pending.erase(0, end + 2);
          const size_t at = event.find("data: ");
          if (event.rfind("event: state\n", 0) == 0 && at != std::string::npos) {
            events_.emplace_back(now, event.substr(at + 6));
            seen_ = true;
          }
        }
        return !stop_;
      });
    });
  }
  bool Seen() const { return seen_; }
  // Once the station has stopped (its streams end with it).
  const std::vector<std::pair<Clock::time_point, std::string>>& Join() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return events_;
  }
  ~Reader() { Join(); }

 private:
  std::thread thread_;
  std::atomic<bool> stop_{false}, seen_{false};
  std::vector<std::pair<Clock::time_point, std::string>> events_;
};

struct Outcome {
  bool ok = false;
  double seconds = 0;  // first plug-in to the last repeater's end
  double cpu = 0;      // the station process's own processor time
  std::vector<double> latency_ms;
};

// When the child wrote each of a repeater's firmware chunks, the start's chunk first.
std::vector<Clock::time_point> ChunksWritten(const sim::Target& target) {
  std::vector<Clock::time_point> at;
  for (const sim::Frame& f : target.Received()) {
    if (f.event_id == kFwStart) at.clear();
    if (f.event_id != kFwStart && f.event_id != kFwNext) continue;
    const auto on_line = std::chrono::duration<double>(static_cast<double>(f.wire.size()) * kByteSeconds);
    at.push_back(f.received_at - std::chrono::duration_cast<Clock::duration>(on_line));
  }
  return at;
}

Outcome Station(int count, int pages, size_t image_bytes) {
  Outcome outcome;
  sim::Config config;
  config.paced = true;
  config.pace_host_bytes = true;
  config.restart_ms = 1000;
  config.version_after = 0x0103;
  Bench b;
  if (!b.Add(count, config)) return outcome;
  platform::Child watch;
  std::vector<std::string> args = {"-cmd", "update", "-fw", b.Image(image_bytes), "-verify", "-watch"};
  if (pages > 0) args.insert(args.end(), {"-http", "127.0.0.1:0"});
  if (!b.Start(&watch, args)) return outcome;
  std::vector<std::unique_ptr<Reader>> readers;
  if (pages > 0) {
    static const std::regex said(R"(halvern: the station's page is at http://127\.0\.0\.1:(\d+)/\n)");
    std::smatch m;
    if (!watch.WaitForOutput([&](const std::string&) { return std::regex_search(watch.Err(), m, said); }, 5000)) {
      std::fprintf(stderr, "the page's address was not told:\n%s\n", watch.Err().c_str());
      return outcome;
    }
    for (int i = 0; i < pages; ++i) readers.push_back(std::make_unique<Reader>(std::stoi(m[1])));
    // Each stream sends the state as it stands at once: all pages are open before the first plug-in.
    const Clock::time_point give_up = Clock::now() + 5s;
    while (!std::all_of(readers.begin(), readers.end(), [](const auto& r) { return r->Seen(); }))
      if (Clock::now() > give_up) {
        std::fprintf(stderr, "a page's stream did not start\n");
        return outcome;
      } else {
        std::this_thread::sleep_for(5ms);
      }
  }
  const Clock::time_point first = Clock::now();
  for (int i = 0; i < count; ++i) {
    std::this_thread::sleep_until(first + std::chrono::seconds(i));
    if (!b.targets[i]->Plug()) return outcome;
  }
  const bool done = watch.WaitForOutput([&](const std::string& out) { return Count(out, " ended: ") >= count; },
                                        600000);
  outcome.seconds = std::chrono::duration<double>(Clock::now() - first).count();
  outcome.cpu = station_bench::OwnCpuSeconds(watch.Pid());
  watch.RequestStop();
  const int status = watch.Wait(10000);
  if (!done || status != 0 || Count(watch.Out(), " ended: ok") != count) {
    std::fprintf(stderr, "station run failed (status %d):\n%s\n", status, watch.Out().c_str());
    return outcome;
  }

  std::map<std::string, std::vector<Clock::time_point>> written;  // by serial number
  for (int i = 0; i < count; ++i) written["RX" + std::to_string(9001 + i)] = ChunksWritten(*b.targets[i]);
  static const std::regex unit(R"re("serial":"([^"]*)","state":"([a-z]+)","bytes":(\d+),"total":(\d+))re");
  for (const auto& reader : readers) {
    std::map<std::string, uint64_t> shown;
    for (const auto& [at, json] : reader->Join()) {
      for (std::sregex_iterator it(json.begin(), json.end(), unit), end; it != end; ++it) {
        const std::string serial = (*it)[1];
        const uint64_t bytes = std::stoull((*it)[3]), total = std::stoull((*it)[4]);
        const auto before = shown.find(serial);
        const bool fresh = before == shown.end() || before->second != bytes;
        shown[serial] = bytes;
        if (!fresh || (*it)[2] != "transferring" || bytes == 0 || bytes % kChunk != 0 || bytes >= total) continue;
        const std::vector<Clock::time_point>& chunks = written[serial];
        const size_t k = bytes / kChunk;
        if (k < chunks.size()) outcome.latency_ms.push_back(Ms(at - chunks[k]));
      }
    }
  }
  outcome.ok = true;
  return outcome;
}

void PrintLatency(const char* what, std::vector<double> ms, int pages) {
  if (ms.empty()) {
    std::printf("page latency, %s: no progress step was seen\n", what);
    return;
  }
  std::sort(ms.begin(), ms.end());
  const size_t p99 = static_cast<size_t>(std::ceil(0.99 * static_cast<double>(ms.size()))) - 1;
  std::printf("page latency, progress step in a child to its event on a stream, %s: median %.1f ms, p99 %.1f ms, "
              "worst %.1f ms (%zu steps over %d stream%s)\n",
              what, ms[ms.size() / 2], ms[p99], ms.back(), ms.size(), pages, pages == 1 ? "" : "s");
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 16;
  const int pages = argc > 2 ? std::atoi(argv[2]) : 4;
  const size_t image_bytes = (argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 256) * 1024;
  if (count <= 0 || pages <= 0 || image_bytes == 0) {
    std::fprintf(stderr, "usage: halvern_bench_station_page [repeaters (16)] [pages (4)] [image KiB (256)]\n");
    return 2;
  }
  const Outcome alone = Station(1, 1, image_bytes);
  if (!alone.ok) return 1;
  PrintLatency("one repeater, one page", alone.latency_ms, 1);
  const Outcome plain = Station(count, 0, image_bytes);
  const Outcome paged = Station(count, pages, image_bytes);
  if (!plain.ok || !paged.ok) return 1;
  char what[64];
  std::snprintf(what, sizeof what, "%d repeaters, %d pages", count, pages);
  PrintLatency(what, paged.latency_ms, pages);
  std::printf("station of %d, processor time of the station process itself (children not counted): %.2f s without "
              "-http, %.2f s with -http and %d pages open (%+.2f s, %+.1f%%); runs of %.1f s and %.1f s\n",
              count, plain.cpu, paged.cpu, pages, paged.cpu - plain.cpu,
              plain.cpu > 0 ? 100.0 * (paged.cpu - plain.cpu) / plain.cpu : 0.0, plain.seconds, paged.seconds);
  return 0;
}
