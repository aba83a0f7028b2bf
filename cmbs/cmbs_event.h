// Event identifiers of the CMBS link. A response carries its request's value plus one.
#pragma once

#include <cstdint>

enum CMBS_EVENT_ID : uint16_t {
  CMBS_EV_DSR_PARAM_GET_RES = 0x000B,
  CMBS_EV_DSR_PARAM_SET = 0x000C,
  CMBS_EV_DSR_PARAM_SET_RES = 0x000D,
  CMBS_EV_DSR_FW_UPD_START = 0x000E,
  CMBS_EV_DSR_FW_UPD_START_RES = 0x000F,
  CMBS_EV_DSR_FW_UPD_PACKETNEXT = 0x0010,
  CMBS_EV_DSR_FW_UPD_PACKETNEXT_RES = 0x0011,
  CMBS_EV_DSR_FW_UPD_END = 0x0012,
  CMBS_EV_DSR_FW_UPD_END_RES = 0x0013,
  CMBS_EV_DSR_SYS_RESET = 0x001C,
  CMBS_EV_DSR_PARAM_AREA_GET = 0x0033,
  CMBS_EV_DSR_PARAM_AREA_GET_RES = 0x0034,
  CMBS_EV_DSR_PARAM_AREA_SET = 0x0035,
  CMBS_EV_DSR_PARAM_AREA_SET_RES = 0x0036,
  CMBS_EV_RAW_DATA_1 = 0x2000,
  CMBS_EV_RAW_DATA_2 = 0x2002,
  CMBS_EV_RAW_DATA_3 = 0x2004,
  CMXX_EV_SYS_OVERVIEW_GET = 0x3004,
  CMXX_EV_SYS_OVERVIEW_GET_RES = 0x3005,
  CMXX_EV_LOG_MSG = 0x3006,
  CMXX_EV_DSR_PILL_UPD_START = 0x3095,
  CMXX_EV_DSR_PILL_UPD_START_RES = 0x3096,
  CMXX_EV_DSR_PILL_UPD_PACKETNEXT = 0x3097,
  CMXX_EV_DSR_PILL_UPD_PACKETNEXT_RES = 0x3098,
  CMXX_EV_DSR_PILL_UPD_END = 0x3099,
  CMXX_EV_DSR_PILL_UPD_END_RES = 0x309A,
  CMXX_EV_LOGGER_TRACE_IND = 0x3800,
  CMXX_EV_LOGGER_CONFIG_SET = 0x3801,
  CMXX_EV_LOGGER_STATUS_GET = 0x3802,
  CMXX_EV_LOGGER_STATUS_GET_RES = 0x3803,
  CMXX_EV_DSR_POWER_OFF = 0x4000,
  // Internal events (0xFF00 and above) belong to the link itself; only the host's own line-gone
  // report reaches the application.
  CMBS_EV_INT_HELLO = 0xFF01,
  CMBS_EV_INT_HELLO_RES = 0xFF02,
  CMBS_EV_INT_STATE_ON = 0xFF03,
  CMBS_EV_INT_STATE_OFF = 0xFF04,
  CMBS_EV_INT_RESET_COMM = 0xFF05,
  // Raised by the host itself, never read off the line: the line to the target is gone. It is the
  // last event the application gets from the link.
  CMBS_EV_INT_LINE_GONE = 0xFF80,
};

// Internal event codes (low byte of 0xFFxx).
enum CMBS_INTERNAL_CODE : uint8_t {
  CMBS_INT_HELLO = 0x01,
  CMBS_INT_HELLO_RES = 0x02,
  CMBS_INT_STATE_ON = 0x03,
  CMBS_INT_STATE_OFF = 0x04,
  CMBS_INT_RESET_COMM = 0x05,
};

// Events whose parameter block is handed to the application unparsed, with the frame header.
inline bool cmbs_event_IsRaw(uint16_t event_id) {
  switch (event_id) {
    case CMBS_EV_DSR_FW_UPD_START:
    case CMBS_EV_DSR_FW_UPD_PACKETNEXT:
    case CMBS_EV_DSR_FW_UPD_END:
    case CMBS_EV_RAW_DATA_1:
    case CMBS_EV_RAW_DATA_2:
    case CMBS_EV_RAW_DATA_3:
      return true;
    default:
      return false;
  }
}
