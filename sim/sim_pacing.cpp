#include "sim/sim_pacing.h"

#include <algorithm>
#include <thread>

namespace sim {
namespace {

// An unpaced split answer still leaves a gap between its bytes, so the host reads them apart.
constexpr auto kSplitGap = std::chrono::microseconds(200);

}  // namespace

size_t LinePacing::NextChunk(size_t left, bool single_bytes) const {
  if (single_bytes) return 1;
  if (paced_) return std::min<size_t>(left, 16);
  return left;
}

void LinePacing::BeforeWrite(Clock::time_point start, size_t through) const {
  // Paced both ways, bytes reach the other side only once the line has carried them.
  if (BothWays()) std::this_thread::sleep_until(start + kByteTime * static_cast<long>(through));
}

void LinePacing::AfterWrite(Clock::time_point start, size_t done, size_t total, bool single_bytes) const {
  if (BothWays()) return;  // already waited for these bytes before writing them
  if (paced_) {
    std::this_thread::sleep_until(start + kByteTime * static_cast<long>(done));
  } else if (single_bytes && done < total) {
    std::this_thread::sleep_for(kSplitGap);
  }
}

void LinePacing::HostBytesRead(size_t n) {
  // The bytes cross the line one after the other, from now or from the end of the last ones.
  if (BothWays()) line_in_end_ = std::max(line_in_end_, Clock::now()) + kByteTime * static_cast<long>(n);
}

void LinePacing::AwaitFrameEnd(size_t behind) const {
  // The frame is complete once its last byte has crossed; the bytes behind it come later.
  if (BothWays()) std::this_thread::sleep_until(line_in_end_ - kByteTime * static_cast<long>(behind));
}

}  // namespace sim
