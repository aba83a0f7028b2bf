#include "sim/sim_wire.h"

#include <algorithm>

namespace sim::wire {
namespace {

// IE_PARAM_AREA and IE_DATA carry a two-byte length, every other element one byte.
bool HasWideLength(uint8_t id) { return id == kIeParamArea || id == kIeData; }

}  // namespace

void PutU16(Bytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}

void PutU32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

Bytes BuildFrame(uint16_t event_id, const Bytes& params) {
  size_t n = std::min<size_t>(params.size(), 0xFFFF - 8);
  Bytes f = {kSyncByte, kSyncByte, kSyncByte, kSyncByte};
  PutU16(f, static_cast<uint16_t>(n + 8));
  PutU16(f, 0);
  PutU16(f, event_id);
  PutU16(f, static_cast<uint16_t>(n));
  f.insert(f.end(), params.begin(), params.begin() + static_cast<std::ptrdiff_t>(n));
  return f;
}

std::vector<Ie> WalkIes(const Bytes& block) {
  std::vector<Ie> out;
  size_t pos = 0;
  while (pos < block.size()) {
    uint8_t id = block[pos];
    size_t header = HasWideLength(id) ? 3 : 2;
    if (pos + header > block.size()) break;
    size_t len = header == 3 ? GetU16(&block[pos + 1]) : block[pos + 1];
    if (pos + header + len > block.size()) break;
    out.push_back({id, block.data() + pos + header, len});
    pos += header + len;
  }
  return out;
}

std::optional<Ie> FindIe(const std::vector<Ie>& ies, uint8_t id) {
  for (const Ie& ie : ies) {
    if (ie.id == id) return ie;
  }
  return std::nullopt;
}

Bytes ResponseIe(uint8_t result) { return {kIeResponse, 1, result}; }

Bytes LogLineParams(uint8_t level, const std::string& text) {
  const size_t n = std::min<size_t>(text.size(), 254);
  Bytes params;
  params.reserve(3 + n);
  params.push_back(kIeLogMsg);
  params.push_back(static_cast<uint8_t>(n + 1));
  params.push_back(level);
  params.insert(params.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n));
  return params;
}

Bytes TraceIndParams(uint8_t dst, uint8_t src, uint8_t mid, uint8_t flags, uint8_t offsets, const Bytes& data) {
  Bytes b;
  const auto value = [&b](uint8_t v) {
    b.push_back(kIeU8);
    b.push_back(1);
    b.push_back(v);
  };
  for (uint8_t v : {dst, src, mid, flags}) value(v);
  if (flags & 0x02) value(offsets);
  const size_t n = std::min<size_t>(data.size(), kMaxParams - b.size() - 5);
  b.push_back(kIeData);
  PutU16(b, static_cast<uint16_t>(n + 2));
  PutU16(b, static_cast<uint16_t>(n));
  b.insert(b.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n));
  return b;
}

std::optional<Area> DecodeArea(const std::vector<Ie>& ies) {
  auto ie = FindIe(ies, kIeParamArea);
  if (!ie || ie->length < 5) return std::nullopt;
  Area a;
  a.type = ie->value[0];
  a.address = GetU16(ie->value + 1);
  a.count = GetU16(ie->value + 3);
  a.data = ie->value + 5;
  a.data_length = ie->length - 5;
  return a;
}

}  // namespace sim::wire
