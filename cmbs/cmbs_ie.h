// Information elements: a one-byte identifier, a length (u16 for IE_PARAM_AREA and
// IE_DATA, u8 otherwise) and that many value bytes. Integers are little-endian.
#pragma once

#include <cstdint>

enum CMBS_IE_TYPE : uint16_t {
  IE_PARAM = 0x0E,
  IE_RESPONSE = 0x11,
  IE_INTEGER_VALUE = 0x13,
  IE_PARAM_AREA = 0x15,
  IE_DATA = 0x1B,
  IE_SYS_OVERVIEW = 0x36,
  IE_LOG_MSG = 0x37,
  IE_LOGGER_SWITCH = 0x3E,
  IE_LOGGER_MASK = 0x4A,
};

constexpr int CMBS_RC_OK = 0;
constexpr int CMBS_RC_ERROR_PARAMETER = 4;  // missing or refused argument, or an element of another identifier
constexpr int CMBS_RC_ERROR_INIT = 5;       // link initialisation failed
constexpr int CMBS_RC_ERROR_SEND = 6;       // a request did not leave the PC (cmbs_api_Flush)

constexpr uint16_t CMBS_BUILD_BUFFER_SIZE = 2048;
constexpr uint16_t CMBS_PARAM_AREA_MAX = 512;
constexpr int CMBS_LOG_TEXT_SIZE = 128;

// A parameter block: a received one (valid during the callback only) or one being built.
struct ST_CMBS_PARAM_BLOCK {
  uint16_t size;      // capacity in bytes
  uint16_t length;    // valid bytes
  uint16_t position;  // read position of the element walk
  uint8_t* data;
};
using PST_CMBS_PARAM_BLOCK = ST_CMBS_PARAM_BLOCK*;

struct ST_IE_PARAM {
  uint8_t param_id;
  uint8_t sub_field;
  uint16_t length;
  const uint8_t* data;
};

struct ST_IE_PARAM_AREA {
  uint8_t area_type;
  uint16_t address;
  uint16_t count;
  const uint8_t* data;  // none when the count is 0 or no data is sent
};

struct ST_IE_DATA {
  uint16_t length;
  const uint8_t* data;
};

struct ST_IE_LOG_MSG {
  uint32_t level;
  char text[CMBS_LOG_TEXT_SIZE];
};

struct ST_IE_SYS_OVERVIEW {
  uint32_t counter[8];
};

// Integer codecs following the byte-order mode; each returns the bytes written or read.
int cmbs_ie_PutU16(uint8_t* at, uint16_t value);
int cmbs_ie_PutU32(uint8_t* at, uint32_t value);
int cmbs_ie_ReadU16(const uint8_t* at, uint16_t* value);
int cmbs_ie_ReadU32(const uint8_t* at, uint32_t* value);

// Builder. The descriptor is shared by all threads; each thread (up to four per link)
// has its own buffer. Returns none when four other threads hold all slots.
PST_CMBS_PARAM_BLOCK cmbs_ie_BlockGet();
// Appends raw bytes: 0, or -1 when length + count would reach size (the block is left as it was).
int cmbs_ie_Add(PST_CMBS_PARAM_BLOCK block, const uint8_t* bytes, uint16_t count);
int cmbs_ie_AddU8(PST_CMBS_PARAM_BLOCK block, uint8_t value, uint8_t ie_id);
int cmbs_ie_AddU16(PST_CMBS_PARAM_BLOCK block, uint16_t value, uint8_t ie_id);
int cmbs_ie_AddIntegerValue(PST_CMBS_PARAM_BLOCK block, uint32_t value);
int cmbs_ie_AddData(PST_CMBS_PARAM_BLOCK block, const ST_IE_DATA* data);
int cmbs_ie_AddParam(PST_CMBS_PARAM_BLOCK block, const ST_IE_PARAM* param);
int cmbs_ie_AddParamArea(PST_CMBS_PARAM_BLOCK block, const ST_IE_PARAM_AREA* area);
int cmbs_ie_AddLogMsg(PST_CMBS_PARAM_BLOCK block, const ST_IE_LOG_MSG* log);

// Element walk. An element is handed out only when it lies wholly inside the block;
// at the end (or on an empty block) *ie is none and *ie_type 0. Both return 0.
int cmbs_ie_GetFirst(PST_CMBS_PARAM_BLOCK block, uint8_t** ie, uint16_t* ie_type);
int cmbs_ie_GetNext(PST_CMBS_PARAM_BLOCK block, uint8_t** ie, uint16_t* ie_type);

// Decoders take an element handed out by the walk. They return 4 (output untouched) when
// the element has another identifier, else 0. Values beyond the element's length read as 0
// and counts are cut to the bytes the element holds.
int cmbs_ie_GetResponse(const uint8_t* ie, uint32_t* result);
int cmbs_ie_GetParamArea(const uint8_t* ie, ST_IE_PARAM_AREA* area);
int cmbs_ie_GetData(const uint8_t* ie, ST_IE_DATA* data);
int cmbs_ie_GetSysOverview(const uint8_t* ie, ST_IE_SYS_OVERVIEW* overview);
int cmbs_ie_GetLogMsg(const uint8_t* ie, ST_IE_LOG_MSG* log);
int cmbs_ie_GetU8(const uint8_t* ie, uint8_t* value);
int cmbs_ie_GetU16(const uint8_t* ie, uint16_t* value);
int cmbs_ie_GetIntegerValue(const uint8_t* ie, uint32_t* value);

// Required value length of a parameter id for CMBS_EV_DSR_PARAM_SET; -1 for ids that are refused.
int cmbs_param_CheckLength(uint8_t param_id);
