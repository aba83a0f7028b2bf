#include "cmbs/cmbs_ie.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "cmbs/cmbs_int.h"

namespace {

bool BigEndian() { return g_cmbs.state.byte_order != 0; }

bool HasLongLength(uint8_t ie_id) { return ie_id == IE_PARAM_AREA || ie_id == IE_DATA; }

// Header size and declared value length of the element at ie.
size_t HeaderSize(const uint8_t* ie) { return HasLongLength(ie[0]) ? 3 : 2; }

uint16_t ValueLength(const uint8_t* ie) {
  if (!HasLongLength(ie[0])) return ie[1];
  uint16_t v;
  cmbs_ie_ReadU16(ie + 1, &v);
  return v;
}

// The value bytes of an element, with everything past its declared length reading as 0.
struct Value {
  const uint8_t* bytes;
  uint16_t length;
  uint8_t At(size_t i) const { return i < length ? bytes[i] : 0; }
  uint16_t U16(size_t i) const {
    uint8_t b[2] = {At(i), At(i + 1)};
    uint16_t v;
    cmbs_ie_ReadU16(b, &v);
    return v;
  }
  uint32_t U32(size_t i) const {
    uint8_t b[4] = {At(i), At(i + 1), At(i + 2), At(i + 3)};
    uint32_t v;
    cmbs_ie_ReadU32(b, &v);
    return v;
  }
};

Value ValueOf(const uint8_t* ie) { return {ie + HeaderSize(ie), ValueLength(ie)}; }

// The element at position if it lies wholly inside the block.
bool ElementAt(const ST_CMBS_PARAM_BLOCK* block, size_t position, uint8_t** ie, uint16_t* ie_type) {
  if (!block->data || position + 2 > block->length) return false;
  uint8_t* at = block->data + position;
  size_t header = HeaderSize(at);
  if (position + header > block->length) return false;
  if (position + header + ValueLength(at) > block->length) return false;
  *ie = at;
  *ie_type = at[0];
  return true;
}

}  // namespace

int cmbs_ie_PutU16(uint8_t* at, uint16_t value) {
  at[BigEndian() ? 1 : 0] = static_cast<uint8_t>(value);
  at[BigEndian() ? 0 : 1] = static_cast<uint8_t>(value >> 8);
  return 2;
}

int cmbs_ie_PutU32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[BigEndian() ? 3 - i : i] = static_cast<uint8_t>(value >> (8 * i));
  return 4;
}

int cmbs_ie_ReadU16(const uint8_t* at, uint16_t* value) {
  *value = BigEndian() ? static_cast<uint16_t>(at[0] << 8 | at[1]) : static_cast<uint16_t>(at[1] << 8 | at[0]);
  return 2;
}

int cmbs_ie_ReadU32(const uint8_t* at, uint32_t* value) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(at[BigEndian() ? 3 - i : i]) << (8 * i);
  *value = v;
  return 4;
}

PST_CMBS_PARAM_BLOCK cmbs_ie_BlockGet() {
  std::lock_guard lock(g_cmbs.state_mutex);
  ST_CMBS_API_STATE& s = g_cmbs.state;
  const std::thread::id self = std::this_thread::get_id();
  int slot = -1;
  for (int i = 0; i < CMBS_BUILD_SLOTS && slot < 0; ++i)
    if (s.build_slot[i] == self) slot = i;
  for (int i = 0; i < CMBS_BUILD_SLOTS && slot < 0; ++i)
    if (s.build_slot[i] == std::thread::id()) {
      s.build_slot[i] = self;
      slot = i;
    }
  if (slot < 0) return nullptr;
  s.builder = ST_CMBS_PARAM_BLOCK{CMBS_BUILD_BUFFER_SIZE, 0, 0, s.build_buffer[slot].data()};
  return &s.builder;
}

int cmbs_ie_Add(PST_CMBS_PARAM_BLOCK block, const uint8_t* bytes, uint16_t count) {
  if (!block || static_cast<size_t>(block->length) + count >= block->size) return -1;
  if (count) std::memcpy(block->data + block->length, bytes, count);
  block->length = static_cast<uint16_t>(block->length + count);
  return 0;
}

int cmbs_ie_AddU8(PST_CMBS_PARAM_BLOCK block, uint8_t value, uint8_t ie_id) {
  const uint8_t ie[3] = {ie_id, 1, value};
  return cmbs_ie_Add(block, ie, sizeof ie);
}

int cmbs_ie_AddU16(PST_CMBS_PARAM_BLOCK block, uint16_t value, uint8_t ie_id) {
  uint8_t ie[4] = {ie_id, 2};
  cmbs_ie_PutU16(ie + 2, value);
  return cmbs_ie_Add(block, ie, sizeof ie);
}

int cmbs_ie_AddIntegerValue(PST_CMBS_PARAM_BLOCK block, uint32_t value) {
  uint8_t ie[6] = {IE_INTEGER_VALUE, 4};
  cmbs_ie_PutU32(ie + 2, value);
  return cmbs_ie_Add(block, ie, sizeof ie);
}

int cmbs_ie_AddData(PST_CMBS_PARAM_BLOCK block, const ST_IE_DATA* data) {
  if (!block || !data || data->length > CMBS_BUILD_BUFFER_SIZE) return -1;
  uint8_t ie[CMBS_BUILD_BUFFER_SIZE + 5] = {IE_DATA};
  cmbs_ie_PutU16(ie + 1, static_cast<uint16_t>(data->length + 2));
  cmbs_ie_PutU16(ie + 3, data->length);
  if (data->length && data->data) std::memcpy(ie + 5, data->data, data->length);
  return cmbs_ie_Add(block, ie, static_cast<uint16_t>(data->length + 5));
}

int cmbs_ie_AddParam(PST_CMBS_PARAM_BLOCK block, const ST_IE_PARAM* param) {
  if (!block || !param) return -1;
  const uint16_t n = param->data ? param->length : 0;
  if (n > 250) return -1;  // the one-byte length holds 5 + n
  uint8_t ie[257] = {IE_PARAM, static_cast<uint8_t>(5 + n), param->param_id, param->sub_field, 0};
  cmbs_ie_PutU16(ie + 5, n);
  if (n) std::memcpy(ie + 7, param->data, n);
  return cmbs_ie_Add(block, ie, static_cast<uint16_t>(7 + n));
}

int cmbs_ie_AddParamArea(PST_CMBS_PARAM_BLOCK block, const ST_IE_PARAM_AREA* area) {
  if (!block || !area) return -1;
  const uint16_t n = area->data ? area->count : 0;
  if (n > CMBS_BUILD_BUFFER_SIZE) return -1;
  uint8_t ie[CMBS_BUILD_BUFFER_SIZE + 8] = {IE_PARAM_AREA};
  cmbs_ie_PutU16(ie + 1, static_cast<uint16_t>(5 + n));
  ie[3] = area->area_type;
  cmbs_ie_PutU16(ie + 4, area->address);
  cmbs_ie_PutU16(ie + 6, area->count);
  if (n) std::memcpy(ie + 8, area->data, n);
  return cmbs_ie_Add(block, ie, static_cast<uint16_t>(8 + n));
}

int cmbs_ie_AddLogMsg(PST_CMBS_PARAM_BLOCK block, const ST_IE_LOG_MSG* log) {
  if (!block || !log) return -1;
  const size_t n = strnlen(log->text, CMBS_LOG_TEXT_SIZE);
  uint8_t ie[3 + CMBS_LOG_TEXT_SIZE] = {IE_LOG_MSG, static_cast<uint8_t>(n + 1), static_cast<uint8_t>(log->level)};
  std::memcpy(ie + 3, log->text, n);
  return cmbs_ie_Add(block, ie, static_cast<uint16_t>(3 + n));
}

int cmbs_ie_GetFirst(PST_CMBS_PARAM_BLOCK block, uint8_t** ie, uint16_t* ie_type) {
  *ie = nullptr;
  *ie_type = 0;
  if (!block) return 0;
  block->position = 0;
  ElementAt(block, 0, ie, ie_type);
  return 0;
}

int cmbs_ie_GetNext(PST_CMBS_PARAM_BLOCK block, uint8_t** ie, uint16_t* ie_type) {
  *ie = nullptr;
  *ie_type = 0;
  if (!block || !block->data || block->position + 2u > block->length) return 0;
  const uint8_t* here = block->data + block->position;
  if (block->position + HeaderSize(here) > block->length) return 0;
  const size_t next = block->position + HeaderSize(here) + ValueLength(here);
  if (next >= block->length) return 0;
  if (ElementAt(block, next, ie, ie_type)) block->position = static_cast<uint16_t>(next);
  return 0;
}

int cmbs_ie_GetResponse(const uint8_t* ie, uint32_t* result) {
  if (!ie || ie[0] != IE_RESPONSE) return CMBS_RC_ERROR_PARAMETER;
  *result = ValueOf(ie).At(0);
  return CMBS_RC_OK;
}

int cmbs_ie_GetParamArea(const uint8_t* ie, ST_IE_PARAM_AREA* area) {
  if (!ie || ie[0] != IE_PARAM_AREA) return CMBS_RC_ERROR_PARAMETER;
  const Value v = ValueOf(ie);
  area->area_type = v.At(0);
  area->address = v.U16(1);
  const uint16_t held = v.length > 5 ? static_cast<uint16_t>(v.length - 5) : 0;
  area->count = std::min(v.U16(3), held);
  area->data = area->count ? v.bytes + 5 : nullptr;
  return CMBS_RC_OK;
}

int cmbs_ie_GetData(const uint8_t* ie, ST_IE_DATA* data) {
  if (!ie || ie[0] != IE_DATA) return CMBS_RC_ERROR_PARAMETER;
  const Value v = ValueOf(ie);
  const uint16_t held = v.length > 2 ? static_cast<uint16_t>(v.length - 2) : 0;
  data->length = std::min(v.U16(0), held);
  data->data = v.bytes + 2;
  return CMBS_RC_OK;
}

int cmbs_ie_GetSysOverview(const uint8_t* ie, ST_IE_SYS_OVERVIEW* overview) {
  if (!ie || ie[0] != IE_SYS_OVERVIEW) return CMBS_RC_ERROR_PARAMETER;
  const Value v = ValueOf(ie);
  for (size_t i = 0; i < 8; ++i) overview->counter[i] = v.U32(4 * i);
  return CMBS_RC_OK;
}

int cmbs_ie_GetLogMsg(const uint8_t* ie, ST_IE_LOG_MSG* log) {
  if (!ie || ie[0] != IE_LOG_MSG) return CMBS_RC_ERROR_PARAMETER;
  const Value v = ValueOf(ie);
  log->level = v.At(0);
  // Text: the value after the level byte, cut to fit the record and always terminated.
  size_t n = v.length > 1 ? v.length - 1u : 0;
  n = std::min<size_t>(n, CMBS_LOG_TEXT_SIZE - 1);
  std::memcpy(log->text, v.bytes + 1, n);
  log->text[n] = '\0';
  return CMBS_RC_OK;
}

int cmbs_ie_GetU8(const uint8_t* ie, uint8_t* value) {
  if (!ie) return CMBS_RC_ERROR_PARAMETER;
  *value = Value{ie + 2, ie[1]}.At(0);
  return CMBS_RC_OK;
}

int cmbs_ie_GetU16(const uint8_t* ie, uint16_t* value) {
  if (!ie) return CMBS_RC_ERROR_PARAMETER;
  *value = Value{ie + 2, ie[1]}.U16(0);
  return CMBS_RC_OK;
}

int cmbs_ie_GetIntegerValue(const uint8_t* ie, uint32_t* value) {
  if (!ie || ie[0] != IE_INTEGER_VALUE) return CMBS_RC_ERROR_PARAMETER;
  *value = ValueOf(ie).U32(0);
  return CMBS_RC_OK;
}

int cmbs_param_CheckLength(uint8_t param_id) {
  switch (param_id) {
    case 1: return 5;
    case 2: case 3: case 4: case 9: case 16: case 17: case 18: return 1;
    case 5: case 6: return 4;
    case 7: case 8: case 10: case 11: case 12: return 0;
    case 19: case 20: case 21: case 22: case 23: return 2;
    default: return -1;
  }
}
