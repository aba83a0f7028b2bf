// Line pacing: the simulated cable carries 115200 baud 8N1, about 87 us a byte.
//
// Target to host (paced): answers go out in small writes, none before the line could
// have carried the bytes ahead of it. With the host's bytes paced too, each write waits
// until its last byte would have arrived, so the host never sees a byte early.
// Host to target (paced both ways): a frame is taken in only once its last byte would
// have crossed the line.
#pragma once

#include <chrono>
#include <cstddef>

namespace sim {

class LinePacing {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::nanoseconds kByteTime{86806};  // one 8N1 byte at 115200 baud

  LinePacing(bool paced, bool pace_host_bytes) : paced_(paced), pace_host_bytes_(pace_host_bytes) {}

  // Writing, from any thread. A write of bytes that started at `start` hands over
  // NextChunk() bytes per call; BeforeWrite and AfterWrite wait as the line requires.
  size_t NextChunk(size_t left, bool single_bytes) const;
  void BeforeWrite(Clock::time_point start, size_t through) const;
  void AfterWrite(Clock::time_point start, size_t done, size_t total, bool single_bytes) const;

  // Reading, on the serving thread only: n bytes from the host were just read, and a
  // frame ending `behind` bytes before the last of them is waited for until it has crossed.
  void HostBytesRead(size_t n);
  void AwaitFrameEnd(size_t behind) const;

 private:
  bool BothWays() const { return paced_ && pace_host_bytes_; }

  const bool paced_;
  const bool pace_host_bytes_;
  Clock::time_point line_in_end_{};  // when the last byte from the host has crossed
};

}  // namespace sim
