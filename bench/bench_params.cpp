// Parameter figures: what one settings line costs the host (parse, decode, compose the output
// line), and how long one parameter-area request takes from sending to its answer against the
// simulated target, which bounds how fast a settings file runs.
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "params/param_admin.h"
#include "params/param_file.h"
#include "platform/event.h"
#include "platform/spawn.h"
#include "session/fwapp.h"
#include "sim/sim_target.h"

namespace {

void BM_ParseLine(benchmark::State& state) {
  const char* lines[] = {"# a comment line\n", "16:b:7F\n", "0x0020:w:1234\n", "0x0040:a:0102030405060708090A;\n",
                         "0x0040:a:120\n"};
  for (auto _ : state) {
    for (const char* line : lines) benchmark::DoNotOptimize(cmParamParseLine(line, false));
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * std::size(lines)));
}
BENCHMARK(BM_ParseLine);

void BM_HexDecode(benchmark::State& state) {
  const size_t count = static_cast<size_t>(state.range(0));
  std::string text;
  for (size_t i = 0; i < count; ++i) text += "a5";
  std::vector<uint8_t> out(count);
  for (auto _ : state) {
    cmParamHexDecode(text.c_str(), count, out.data());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * count));
}
BENCHMARK(BM_HexDecode)->Arg(2)->Arg(512);

void BM_ComposeLine(benchmark::State& state) {
  std::vector<uint8_t> bytes(static_cast<size_t>(state.range(0)), 0x5C);
  for (auto _ : state) benchmark::DoNotOptimize(cmParamComposeLine("0x0040:a:", 9, bytes.data(), bytes.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_ComposeLine)->Arg(2)->Arg(512);

// One session to the simulated target, kept for all request benchmarks.
platform::Event g_answered("bench answer", true);
uint32_t g_code = 0;

PST_FWAPP_OBJ g_app = nullptr;

PST_FWAPP_OBJ Session() {
  static PST_FWAPP_OBJ app = g_app = [] {
    auto* target = new sim::Target();
    std::random_device random;
    auto dir = std::filesystem::temp_directory_path() / ("halvern-bench-params-" + std::to_string(random()));
    if (!target->Start() || !target->LayOutTree(dir.string())) return static_cast<PST_FWAPP_OBJ>(nullptr);
    platform::SetEnv("HALVERN_DEV_ROOT", target->DevRoot());
    return cmFwAppOpen("1", 0, [](uint32_t, uint32_t code, uintptr_t) {
      g_code = code;
      g_answered.Set();
    });
  }();
  return app;
}

// Request sent to answer handled, for a get or a set of range(1) bytes.
void BM_Request(benchmark::State& state) {
  PST_FWAPP_OBJ app = Session();
  if (!app) {
    state.SkipWithError("simulated target did not start");
    return;
  }
  const bool get = state.range(0) != 0;
  const auto count = static_cast<uint16_t>(state.range(1));
  std::vector<uint8_t> buffer(count, 0x3C);
  for (auto _ : state) {
    g_answered.Reset();
    auto start = std::chrono::steady_clock::now();
    int rc = get ? cmFwAppParamGet(app, 64, count, buffer.data()) : cmFwAppParamSet(app, 64, count, buffer.data());
    bool answered = rc == 0 && g_answered.Wait(5000);
    auto stop = std::chrono::steady_clock::now();
    if (!answered || (g_code != FWAPP_PARAM_GET_OK && g_code != FWAPP_PARAM_SET_OK)) {
      state.SkipWithError("request not answered");
      return;
    }
    state.SetIterationTime(std::chrono::duration<double>(stop - start).count());
  }
}
BENCHMARK(BM_Request)
    ->ArgNames({"get", "bytes"})
    ->Args({1, 1})
    ->Args({1, 512})
    ->Args({0, 1})
    ->Args({0, 512})
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (g_app) cmFwAppClose(g_app);  // the link goes down before the process does
  return 0;
}
