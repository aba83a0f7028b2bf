#include "trace_reader/trace_output.h"

#include <cstdio>

#include "tracer/tracer_pcap.h"

namespace trace_reader {

std::string FormatRecord(const Record& r, const std::string& mid_name) {
  static const char kHex[] = "0123456789ABCDEF";
  char head[96];
  std::snprintf(head, sizeof head, "%6llu %-6s dst=%-3u src=%-3u mid=%-3u ", static_cast<unsigned long long>(r.number),
                r.kind() == PacketKind::kFirst ? "first" : "second", r.dst(), r.src(), r.mid());
  std::string line = head;
  line += mid_name;
  if (mid_name.size() < 32) line.append(32 - mid_name.size(), ' ');
  std::snprintf(head, sizeof head, " len=%-3u", static_cast<unsigned>(r.data_size()));
  line += head;
  for (size_t i = 0; i < r.data_size(); ++i) {
    line.push_back(' ');
    line.push_back(kHex[r.data()[i] >> 4]);
    line.push_back(kHex[r.data()[i] & 0x0F]);
  }
  line.push_back('\n');
  return line;
}

// The same pcap form as a live capture writes.
std::string PcapFileHeader() { return cmTracerPcapFileHeader(); }

std::string PcapPacket(const Record& r, int64_t seconds) {
  const uint64_t base = seconds < 0 ? 0 : static_cast<uint64_t>(seconds);
  return cmTracerPcapPacket(r.bytes, r.size, base + r.number / 1000000, static_cast<uint32_t>(r.number % 1000000));
}

}  // namespace trace_reader
