// Shared by the fuzz targets: walks the elements of a parameter block and runs every
// decoder on each one, trapping when anything handed out reaches outside the block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "cmbs/cmbs_ie.h"

namespace fuzz {

inline void Check(bool ok) {
  if (!ok) __builtin_trap();
}

// Reads every byte of [p, p + n) so that the sanitizer sees the access.
inline unsigned Touch(const uint8_t* p, size_t n) {
  unsigned sum = 0;
  for (size_t i = 0; i < n; ++i) sum += p[i];
  return sum;
}

inline void DecodeAll(const uint8_t* ie, const uint8_t* ie_end) {
  volatile unsigned sink = 0;
  uint32_t u32 = 0;
  uint16_t u16 = 0;
  uint8_t u8 = 0;
  if (cmbs_ie_GetResponse(ie, &u32) == 0) sink = sink + u32;
  ST_IE_PARAM_AREA area{};
  if (cmbs_ie_GetParamArea(ie, &area) == 0 && area.count) {
    Check(area.data >= ie && area.data + area.count <= ie_end);
    sink = sink + Touch(area.data, area.count);
  }
  ST_IE_DATA data{};
  if (cmbs_ie_GetData(ie, &data) == 0 && data.length) {
    Check(data.data >= ie && data.data + data.length <= ie_end);
    sink = sink + Touch(data.data, data.length);
  }
  ST_IE_SYS_OVERVIEW overview{};
  if (cmbs_ie_GetSysOverview(ie, &overview) == 0) sink = sink + overview.counter[7];
  ST_IE_LOG_MSG log{};
  std::memset(log.text, 'x', sizeof log.text);
  if (cmbs_ie_GetLogMsg(ie, &log) == 0) Check(strnlen(log.text, sizeof log.text) < sizeof log.text);
  cmbs_ie_GetU8(ie, &u8);
  cmbs_ie_GetU16(ie, &u16);
  if (cmbs_ie_GetIntegerValue(ie, &u32) == 0) sink = sink + u32;
  sink = sink + u8 + u16;
}

// Copies the block to a buffer of its exact size, so that any read past it is caught.
inline void WalkAndDecode(const uint8_t* bytes, uint16_t length) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[length ? length : 1]);
  if (length) std::memcpy(copy.get(), bytes, length);
  ST_CMBS_PARAM_BLOCK block{length, length, 0, copy.get()};
  const uint8_t* end = copy.get() + length;
  uint8_t* ie = nullptr;
  uint16_t type = 0;
  const uint8_t* previous = nullptr;
  for (cmbs_ie_GetFirst(&block, &ie, &type); ie; cmbs_ie_GetNext(&block, &ie, &type)) {
    Check(ie > previous || !previous);  // the walk always moves on
    previous = ie;
    Check(ie >= copy.get() && ie + 2 <= end && type == ie[0]);
    const bool long_length = ie[0] == IE_PARAM_AREA || ie[0] == IE_DATA;
    const size_t header = long_length ? 3 : 2;
    Check(ie + header <= end);
    uint16_t value_length = ie[1];
    if (long_length) cmbs_ie_ReadU16(ie + 1, &value_length);
    const uint8_t* ie_end = ie + header + value_length;
    Check(ie_end <= end);
    DecodeAll(ie, ie_end);
  }
  Check(type == 0);
}

}  // namespace fuzz
