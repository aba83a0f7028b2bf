// What the finished child programs of this process have used, as the system accounts for
// them: how the benchmarks report the tool's processor time and memory.
#pragma once

#include <cstdint>

namespace platform {

struct ChildrenUsage {
  double cpu_seconds = 0;    // user and system time, summed over the children
  int64_t peak_rss_kib = 0;  // the largest peak resident set of any one child
};

// Totals over every child waited for so far (zeros when the system cannot tell).
ChildrenUsage ChildrenUsageSoFar();

}  // namespace platform
