#include "platform/station_lock.h"

#include <cstdio>

namespace platform {

std::string StationLockName(const std::string& key) {
  uint64_t hash = 1469598103934665603ULL;  // FNV-1a: a short, stable name for any key
  for (const char c : key) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ULL;
  }
  char name[40];
  std::snprintf(name, sizeof name, "halvern-watch-%016llx", static_cast<unsigned long long>(hash));
  return name;
}

}  // namespace platform
