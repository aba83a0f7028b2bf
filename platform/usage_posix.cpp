#include "platform/usage.h"

#include <sys/resource.h>

namespace platform {

ChildrenUsage ChildrenUsageSoFar() {
  ChildrenUsage usage;
  rusage r{};
  if (::getrusage(RUSAGE_CHILDREN, &r) != 0) return usage;
  usage.cpu_seconds = static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
                      static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
  usage.peak_rss_kib = r.ru_maxrss;  // kilobytes on Linux
  return usage;
}

}  // namespace platform
