// The CMBS wire format as the simulated target reads and writes it: the frame layout,
// the event and element ids it knows, little-endian fields and the walk over the
// elements of a parameter block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim::wire {

using Bytes = std::vector<uint8_t>;

inline constexpr uint8_t kSyncByte = 0xDA;
inline constexpr size_t kHeaderSize = 12;
inline constexpr size_t kMaxFrameSize = 2052;  // what the host can take in, sync word included
inline constexpr size_t kMaxParams = kMaxFrameSize - kHeaderSize;

// Events.
inline constexpr uint16_t kEvParamSet = 0x000C;
inline constexpr uint16_t kEvFwStart = 0x000E;
inline constexpr uint16_t kEvFwNext = 0x0010;
inline constexpr uint16_t kEvFwEnd = 0x0012;
inline constexpr uint16_t kEvSysReset = 0x001C;
inline constexpr uint16_t kEvAreaGet = 0x0033;
inline constexpr uint16_t kEvAreaSet = 0x0035;
inline constexpr uint16_t kEvOverviewGet = 0x3004;
inline constexpr uint16_t kEvLogMsg = 0x3006;
inline constexpr uint16_t kEvPillStart = 0x3095;
inline constexpr uint16_t kEvPillNext = 0x3097;
inline constexpr uint16_t kEvPillEnd = 0x3099;
inline constexpr uint16_t kEvTraceInd = 0x3800;
inline constexpr uint16_t kEvLoggerConfigSet = 0x3801;
inline constexpr uint16_t kEvLoggerStatusGet = 0x3802;
inline constexpr uint16_t kEvPowerOff = 0x4000;
inline constexpr uint16_t kEvHello = 0xFF01;
inline constexpr uint16_t kEvHelloRes = 0xFF02;

// Information elements.
inline constexpr uint8_t kIeParam = 0x0E;
inline constexpr uint8_t kIeResponse = 0x11;
inline constexpr uint8_t kIeInteger = 0x13;
inline constexpr uint8_t kIeParamArea = 0x15;
inline constexpr uint8_t kIeData = 0x1B;
inline constexpr uint8_t kIeSysOverview = 0x36;
inline constexpr uint8_t kIeLogMsg = 0x37;
inline constexpr uint8_t kIeLoggerSwitch = 0x3E;
inline constexpr uint8_t kIeLoggerMask = 0x4A;
inline constexpr uint8_t kIeU8 = 0x40;  // a one-byte value

void PutU16(Bytes& b, uint16_t v);
void PutU32(Bytes& b, uint32_t v);
uint16_t GetU16(const uint8_t* p);
uint32_t GetU32(const uint8_t* p);

// A whole frame, sync word included; a block too long for the length field is cut.
Bytes BuildFrame(uint16_t event_id, const Bytes& params);

// One element of a received parameter block; value points into the block.
struct Ie {
  uint8_t id = 0;
  const uint8_t* value = nullptr;
  size_t length = 0;
};

// The elements of a block, up to the first one that does not fit in it.
std::vector<Ie> WalkIes(const Bytes& block);
std::optional<Ie> FindIe(const std::vector<Ie>& ies, uint8_t id);

Bytes ResponseIe(uint8_t result);

// The parameters of a log line: IE_LOG_MSG with the level and the text, cut to fit.
Bytes LogLineParams(uint8_t level, const std::string& text);
// The parameters of a trace indication: dst, src, mid and flags as one-byte values, offsets
// when flag bit 1 asks for a second packet, then the traced bytes in IE_DATA.
Bytes TraceIndParams(uint8_t dst, uint8_t src, uint8_t mid, uint8_t flags, uint8_t offsets, const Bytes& data);

// A decoded IE_PARAM_AREA: type, address, count and whatever data follows.
struct Area {
  uint8_t type = 0;
  uint16_t address = 0;
  uint16_t count = 0;
  const uint8_t* data = nullptr;
  size_t data_length = 0;
};

std::optional<Area> DecodeArea(const std::vector<Ie>& ies);

}  // namespace sim::wire
