#include "trace_reader/trace_output.h"

#include <cstdio>

namespace trace_reader {

namespace {

void PutLe32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}

void PutLe16(std::string& out, uint16_t v) {
  out.push_back(static_cast<char>(v));
  out.push_back(static_cast<char>(v >> 8));
}

}  // namespace

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

std::string PcapFileHeader() {
  std::string out;
  PutLe32(out, 0xA1B2C3D4);  // microsecond timestamps
  PutLe16(out, 2);
  PutLe16(out, 4);
  PutLe32(out, 0);  // time zone: UTC
  PutLe32(out, 0);  // accuracy
  PutLe32(out, 65535);
  PutLe32(out, kPcapLinkType);
  return out;
}

std::string PcapPacket(const Record& r, int64_t seconds) {
  const uint64_t base = seconds < 0 ? 0 : static_cast<uint64_t>(seconds);
  const uint64_t stamp_s = base + r.number / 1000000;
  std::string out;
  PutLe32(out, static_cast<uint32_t>(stamp_s));
  PutLe32(out, static_cast<uint32_t>(r.number % 1000000));
  PutLe32(out, static_cast<uint32_t>(r.size));
  PutLe32(out, static_cast<uint32_t>(r.size));
  out.append(reinterpret_cast<const char*>(r.bytes), r.size);
  return out;
}

}  // namespace trace_reader
