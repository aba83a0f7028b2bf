// Trace reading: how fast halvern-trace's reader gets through a trace file. A file of mixed
// records (first packets of 0 to 256 data bytes, every third message with a second packet) is
// built once with the tracer's own renderer and scrambled; the benchmarks read it from memory:
// unscramble and parse, then also format every record as a line, or as a pcap packet; and
// through the Reader that goes on past damage, on the file whole and with a byte flipped in
// every 64 KiB (each costing a search for the next record).
// Reported: megabytes of trace file per second and records per second.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>
#include <vector>

#include "trace_reader/trace_output.h"
#include "trace_reader/trace_reader.h"
#include "tracer/main_tracer_event.h"

namespace {

constexpr size_t kChunk = 64 * 1024;  // what halvern-trace reads at a time

const std::string& ScrambledTrace() {
  static const std::string file = [] {
    std::string text;
    char record[TRACE_RECORD_MAX + 1];
    for (int i = 0; text.size() < (16u << 20); ++i) {
      ST_TRACE_MSG m{};
      m.dst = uint8_t(i), m.src = uint8_t(i >> 8), m.mid = uint8_t(i % 133);
      m.flags = i % 3 == 0 ? 0x02 : 0x00;
      m.offsets = 0x21;
      m.nsize = uint16_t((i * 37) % 257);
      for (int k = 0; k < m.nsize; ++k) m.data[k] = uint8_t(i + k);
      for (int k = 0; k < ((m.flags & 0x02) ? 2 : 1); ++k) {
        uint16_t n = 0;
        auto packet = cmTracerBuildPacket(&m, k, &n);
        text.append(record, cmTracerRenderRecord(packet.get(), n, record));
      }
    }
    trace_reader::Unscramble(text.data(), text.size(), 0);
    return text;
  }();
  return file;
}

enum class Output { kNone, kLines, kPcap };

void Read(benchmark::State& state, Output output) {
  const std::string& file = ScrambledTrace();
  std::vector<char> chunk(kChunk);
  size_t records = 0, out_bytes = 0;
  for (auto _ : state) {
    trace_reader::Parser parser([&](const trace_reader::Record& r) {
      ++records;
      if (output == Output::kLines) out_bytes += trace_reader::FormatRecord(r, "MID_IWU_CC_SETUP").size();
      if (output == Output::kPcap) out_bytes += trace_reader::PcapPacket(r, 1796639280).size();
    });
    for (size_t at = 0; at < file.size(); at += kChunk) {
      const size_t n = std::min(kChunk, file.size() - at);
      std::copy(file.data() + at, file.data() + at + n, chunk.data());
      trace_reader::Unscramble(chunk.data(), n, at);
      parser.Feed(chunk.data(), n);
    }
    if (!parser.Finish()) state.SkipWithError("the trace did not read back");
  }
  benchmark::DoNotOptimize(out_bytes);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(file.size()));
  state.counters["records/s"] = benchmark::Counter(double(records), benchmark::Counter::kIsRate);
}

// The Reader on the scrambled file as halvern-trace reads it, `flips` bytes changed.
void ReadPastDamage(benchmark::State& state, bool flips) {
  std::string file = ScrambledTrace();
  if (flips)
    for (size_t at = 1000; at < file.size(); at += kChunk) file[at] = char(file[at] ^ 0x40);
  size_t records = 0, damages = 0;
  for (auto _ : state) {
    trace_reader::Reader reader([&](const trace_reader::Record&) { ++records; },
                                [&](const trace_reader::Damage&) { ++damages; });
    for (size_t at = 0; at < file.size(); at += kChunk) reader.Feed(file.data() + at, std::min(kChunk, file.size() - at));
    reader.Finish(true);
  }
  if (!flips && damages) state.SkipWithError("the trace did not read back");
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(file.size()));
  state.counters["records/s"] = benchmark::Counter(double(records), benchmark::Counter::kIsRate);
}

void BM_ReadTrace(benchmark::State& state) { Read(state, Output::kNone); }
void BM_ReadTraceThroughReader(benchmark::State& state) { ReadPastDamage(state, false); }
void BM_ReadDamagedTrace(benchmark::State& state) { ReadPastDamage(state, true); }
void BM_ReadTraceAsLines(benchmark::State& state) { Read(state, Output::kLines); }
void BM_ReadTraceAsPcap(benchmark::State& state) { Read(state, Output::kPcap); }

BENCHMARK(BM_ReadTrace)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadTraceThroughReader)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadDamagedTrace)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadTraceAsLines)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadTraceAsPcap)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
