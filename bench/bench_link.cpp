// Link figures: how long bringing the link up takes against the simulated target on a
// pseudo-terminal (the receive path must wake on arrival, not on its poll), and what
// encoding and reassembling frames cost.
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <vector>

#include "cmbs/cmbs_api.h"
#include "cmbs/cmbs_frame.h"
#include "cmbs/cmbs_int.h"
#include "cmbs/cmbs_rx.h"
#include "platform/spawn.h"
#include "sim/sim_target.h"

namespace {

// cmbs_api_Init from call to return (hello answered), then cmbs_api_Destroy (not timed).
void BM_LinkUp(benchmark::State& state) {
  static sim::Target* target = [] {
    auto* t = new sim::Target();
    std::random_device random;
    auto dir = std::filesystem::temp_directory_path() / ("halvern-bench-" + std::to_string(random()));
    if (!t->Start() || !t->LayOutTree(dir.string())) return static_cast<sim::Target*>(nullptr);
    platform::SetEnv("HALVERN_DEV_ROOT", t->DevRoot());
    return t;
  }();
  if (!target) {
    state.SkipWithError("simulated target did not start");
    return;
  }
  uint8_t port = 1;
  ST_CMBS_INIT init{1, &port};
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    int rc = cmbs_api_Init(0, &init, nullptr);
    auto stop = std::chrono::steady_clock::now();
    cmbs_api_Destroy();
    if (rc != 0) {
      state.SkipWithError("link did not come up");
      return;
    }
    state.SetIterationTime(std::chrono::duration<double>(stop - start).count());
  }
}
BENCHMARK(BM_LinkUp)->UseManualTime()->Iterations(1)->Repetitions(100)->ReportAggregatesOnly(true)->Unit(
    benchmark::kMillisecond);

// Header of one frame, plus the chunk copied behind it, as the sender puts it on the wire.
void BM_FrameEncode(benchmark::State& state) {
  std::vector<uint8_t> chunk(static_cast<size_t>(state.range(0)), 0x5A);
  std::vector<uint8_t> wire(CMBS_HEADER_SIZE + chunk.size());
  for (auto _ : state) {
    cmbs_frame_BuildHeader(0x0010, static_cast<uint16_t>(chunk.size()), 0, wire.data());
    std::copy(chunk.begin(), chunk.end(), wire.begin() + CMBS_HEADER_SIZE);
    benchmark::DoNotOptimize(wire.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * wire.size()));
}
BENCHMARK(BM_FrameEncode)->Arg(0)->Arg(256);

// Reassembly and dispatch of a receive buffer holding back-to-back 256-byte-block frames,
// with a byte of noise in front of each.
void BM_FrameParse(benchmark::State& state) {
  cmbs_api_RegisterCallback(nullptr, [](void*, uint32_t, void* param) { benchmark::DoNotOptimize(param); }, 256);
  g_cmbs.run.store(true);
  std::vector<uint8_t> stream;
  for (int i = 0; i < 7; ++i) {
    stream.push_back(0x00);
    uint8_t header[CMBS_HEADER_SIZE];
    cmbs_frame_BuildHeader(0x0034, 256, 0, header);
    stream.insert(stream.end(), header, header + CMBS_HEADER_SIZE);
    stream.insert(stream.end(), 256, 0x11);
  }
  std::vector<uint8_t> buffer(CMBS_RX_BUFFER_SIZE);
  for (auto _ : state) {
    std::copy(stream.begin(), stream.end(), buffer.begin());
    benchmark::DoNotOptimize(cmbs_rx_Parse(buffer.data(), stream.size()));
  }
  g_cmbs.run.store(false);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * 7));
}
BENCHMARK(BM_FrameParse);

}  // namespace

BENCHMARK_MAIN();
