#include "station/plain_progress.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr char kTag[] = "Writing: ";

// The counter "Writing: N Kb\r" at out[at]: its kilobytes, and where it ends; false for other text.
bool Counter(const std::string& out, size_t at, long* kb, size_t* end) {
  if (out.compare(at, sizeof kTag - 1, kTag) != 0) return false;
  size_t i = at + sizeof kTag - 1;
  while (i < out.size() && out[i] == ' ') ++i;
  const size_t digits = i;
  while (i < out.size() && out[i] >= '0' && out[i] <= '9' && i - digits < 12) ++i;
  if (i == digits || out.compare(i, 4, " Kb\r") != 0) return false;
  *kb = std::strtol(out.c_str() + digits, nullptr, 10);
  *end = i + 4;
  return true;
}

}  // namespace

std::string cmPlainProgress(const std::string& out, uint64_t total_bytes) {
  std::string shown;
  shown.reserve(out.size() / 8);
  const double total_kb = static_cast<double>(total_bytes) / 1024;
  size_t at = 0;
  while (at < out.size()) {
    long kb = 0;
    size_t end = 0;
    if (!Counter(out, at, &kb, &end)) {
      const size_t next = out.find(kTag, at + 1);
      const size_t stop = next == std::string::npos ? out.size() : next;
      shown.append(out, at, stop - at);
      at = stop;
      continue;
    }
    // A run of counters: keep those that reach a new tenth, and the last.
    int tenth_shown = 0;
    for (;;) {
      long next_kb = 0;
      size_t next_end = 0;
      const bool more = Counter(out, end, &next_kb, &next_end);
      const int tenth = total_kb > 0 ? static_cast<int>(static_cast<double>(kb) * 10 / total_kb) : 0;
      if (!more || tenth > tenth_shown) {
        shown.append(out, at, end - 1 - at);
        shown += '\n';
        tenth_shown = tenth;
      }
      if (!more) break;
      at = end;
      kb = next_kb;
      end = next_end;
    }
    at = end;
  }
  return shown;
}
