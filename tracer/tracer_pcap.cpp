#include "tracer/tracer_pcap.h"

namespace {

void PutLe16(std::string& out, uint16_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>(v >> 8));
}

void PutLe32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

}  // namespace

std::string cmTracerPcapFileHeader() {
  std::string out;
  PutLe32(out, 0xA1B2C3D4);  // microsecond time stamps
  PutLe16(out, 2);
  PutLe16(out, 4);
  PutLe32(out, 0);  // time zone: UTC
  PutLe32(out, 0);  // accuracy
  PutLe32(out, 65535);
  PutLe32(out, TRACE_PCAP_LINK_TYPE);
  return out;
}

std::string cmTracerPcapPacket(const uint8_t* packet, size_t length, uint64_t seconds, uint32_t micros) {
  std::string out;
  cmTracerPcapAppendPacket(out, packet, length, seconds, micros);
  return out;
}

void cmTracerPcapAppendPacket(std::string& out, const uint8_t* packet, size_t length, uint64_t seconds,
                              uint32_t micros) {
  PutLe32(out, static_cast<uint32_t>(seconds));
  PutLe32(out, micros);
  PutLe32(out, static_cast<uint32_t>(length));
  PutLe32(out, static_cast<uint32_t>(length));
  out.append(reinterpret_cast<const char*>(packet), length);
}
