// Runs a program and reports what it used: "<exit status> <cpu seconds> <peak rss KiB>" on the
// first line, then the program's output. The benchmarks run the tool through this small
// program because a child's peak resident set counts the memory of the process that started
// it, and the benchmark process itself is large.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/spawn.h"
#include "platform/usage.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s PROGRAM [ARGS...]\n", argv[0]);
    return 2;
  }
  const std::vector<std::string> args(argv + 1, argv + argc);
  const platform::SpawnResult r = platform::SpawnCapture(args, {}, "", 600000);
  const platform::ChildrenUsage usage = platform::ChildrenUsageSoFar();
  std::printf("%d %.6f %lld\n", r.exit_status, usage.cpu_seconds, static_cast<long long>(usage.peak_rss_kib));
  std::fwrite(r.out.data(), 1, r.out.size(), stdout);
  return 0;
}
