// Trace reading: how fast halvern-trace's reader gets through a trace file. A file of mixed
// records (first packets of 0 to 256 data bytes, every third message with a second packet) is
// built once with the tracer's own renderer and scrambled; the benchmarks read it from memory:
// unscramble and parse, then also format every record as a line, or as a pcap packet; and
// through the Reader that goes on past damage, on the file whole and damaged in several ways:
// a byte flipped in every 64 KiB, 4 MiB of false record starts ("BEGIN" and nothing after it,
// in the file's key phase or in any), random bit flips (one in 256 bytes), every record cut
// short somewhere, and bytes inserted or lost (which shift the key). Damage of any kind should
// cost no more than a constant factor over the intact rate.
// Reported: megabytes of trace file per second and records per second.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "trace_reader/trace_output.h"
#include "trace_reader/trace_reader.h"
#include "tracer/main_tracer_event.h"

namespace {

constexpr size_t kChunk = 64 * 1024;  // what halvern-trace reads at a time

// The unscrambled text of the trace, and the starts of its records.
struct Text {
  std::string text;
  std::vector<size_t> starts;
};

const Text& TraceText() {
  static const Text trace = [] {
    Text t;
    char record[TRACE_RECORD_MAX + 1];
    for (int i = 0; t.text.size() < (16u << 20); ++i) {
      ST_TRACE_MSG m{};
      m.dst = uint8_t(i), m.src = uint8_t(i >> 8), m.mid = uint8_t(i % 133);
      m.flags = i % 3 == 0 ? 0x02 : 0x00;
      m.offsets = 0x21;
      m.nsize = uint16_t((i * 37) % 257);
      for (int k = 0; k < m.nsize; ++k) m.data[k] = uint8_t(i + k);
      for (int k = 0; k < ((m.flags & 0x02) ? 2 : 1); ++k) {
        uint16_t n = 0;
        auto packet = cmTracerBuildPacket(&m, k, &n);
        t.starts.push_back(t.text.size());
        t.text.append(record, cmTracerRenderRecord(packet.get(), n, record));
      }
    }
    return t;
  }();
  return trace;
}

std::string Scrambled(std::string text) {
  trace_reader::Unscramble(text.data(), text.size(), 0);
  return text;
}

const std::string& ScrambledTrace() {
  static const std::string file = Scrambled(TraceText().text);
  return file;
}

enum class Damage { kNone, kFlipEvery64K, kFalseStarts, kFalseStartsAnyPhase, kBitFlips, kCutRecords, kShifts };

// The trace file damaged one way; random damage comes from a fixed seed.
std::string DamagedTrace(Damage damage) {
  constexpr size_t kFalse = 4u << 20;
  std::mt19937 random(17);
  std::string file = ScrambledTrace();
  switch (damage) {
    case Damage::kNone:
      break;
    case Damage::kFlipEvery64K:
      for (size_t at = 1000; at < file.size(); at += kChunk) file[at] = char(file[at] ^ 0x40);
      break;
    case Damage::kFalseStarts: {  // each fails at its sixth byte, where a line end should be
      std::string text;
      while (text.size() < kFalse) text += "BEGIN";
      file = Scrambled(text) + file.substr(0, 1u << 20);
      break;
    }
    case Damage::kFalseStartsAnyPhase: {  // each under one of the three key phases, amid noise
      file.clear();
      while (file.size() < kFalse) {
        std::string begin = "BEGIN";
        trace_reader::Unscramble(begin.data(), 5, file.size() + random() % 3);
        file += begin;
        for (unsigned n = random() % 4; n > 0; --n) file.push_back(char(random()));
      }
      break;
    }
    case Damage::kBitFlips:
      for (size_t n = file.size() / 256; n > 0; --n) file[random() % file.size()] ^= char(1u << random() % 8);
      break;
    case Damage::kCutRecords: {  // every record cut short somewhere: no record is whole
      const Text& t = TraceText();
      std::string text;
      for (size_t i = 0; i + 1 < t.starts.size(); ++i) {
        const size_t length = t.starts[i + 1] - t.starts[i];
        text.append(t.text, t.starts[i], 1 + random() % (length - 1));
      }
      file = Scrambled(text);
      break;
    }
    case Damage::kShifts:  // bytes lost or inserted, about one in 1000
      for (size_t n = file.size() / 2000; n > 0; --n) {
        const size_t at = random() % file.size();
        if (random() % 2) file.erase(at, 1 + random() % 4);
        else file.insert(at, 1 + random() % 4, char(random()));
      }
      break;
  }
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

// The Reader on the scrambled file as halvern-trace reads it, damaged or not.
void ReadPastDamage(benchmark::State& state, Damage damage) {
  const std::string file = DamagedTrace(damage);
  size_t records = 0, damages = 0;
  for (auto _ : state) {
    trace_reader::Reader reader([&](const trace_reader::Record&) { ++records; },
                                [&](const trace_reader::Damage&) { ++damages; });
    for (size_t at = 0; at < file.size(); at += kChunk) reader.Feed(file.data() + at, std::min(kChunk, file.size() - at));
    reader.Finish(true);
  }
  if ((damage == Damage::kNone) != (damages == 0)) state.SkipWithError("the damage was not found as it lies");
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(file.size()));
  state.counters["records/s"] = benchmark::Counter(double(records), benchmark::Counter::kIsRate);
}

void BM_ReadTrace(benchmark::State& state) { Read(state, Output::kNone); }
void BM_ReadTraceAsLines(benchmark::State& state) { Read(state, Output::kLines); }
void BM_ReadTraceAsPcap(benchmark::State& state) { Read(state, Output::kPcap); }

BENCHMARK(BM_ReadTrace)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadTraceAsLines)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadTraceAsPcap)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ReadPastDamage, intact, Damage::kNone)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ReadPastDamage, flip_every_64k, Damage::kFlipEvery64K)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ReadPastDamage, false_starts, Damage::kFalseStarts)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ReadPastDamage, false_starts_any_phase, Damage::kFalseStartsAnyPhase)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ReadPastDamage, bit_flips, Damage::kBitFlips)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ReadPastDamage, cut_records, Damage::kCutRecords)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ReadPastDamage, shifts, Damage::kShifts)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
