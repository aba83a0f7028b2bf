#include "cmbs/cmbs_dsr.h"

#include <algorithm>
#include <cstring>

#include "cmbs/cmbs_event.h"
#include "cmbs/cmbs_frame.h"
#include "cmbs/cmbs_ie.h"

namespace {

int SendBlock(uint16_t event_id, PST_CMBS_PARAM_BLOCK block) {
  return cmbs_event_Send(event_id, block->data, block->length);
}

}  // namespace

int cmbs_dsr_fw_UpdateStart(void*, const uint8_t* chunk, uint16_t length) {
  return cmbs_event_Send(CMBS_EV_DSR_FW_UPD_START, chunk, length);
}

int cmbs_dsr_fw_UpdatePacketNext(void*, const uint8_t* chunk, uint16_t length) {
  return cmbs_event_Send(CMBS_EV_DSR_FW_UPD_PACKETNEXT, chunk, length);
}

int cmbs_dsr_fw_UpdateEnd(void*, const uint8_t* block, uint16_t length) {
  return cmbs_event_Send(CMBS_EV_DSR_FW_UPD_END, block, length);
}

int cmbs_dsr_sys_Reset(void*) { return cmbs_event_Send(CMBS_EV_DSR_SYS_RESET, nullptr, 0); }

int cmbs_dsr_sys_PowerOff() { return cmbs_event_Send(CMXX_EV_DSR_POWER_OFF, nullptr, 0); }

int cmbs_dsr_param_Set(void*, int flag, uint8_t param_id, const uint8_t* value, uint16_t length) {
  if (flag != 0 || cmbs_param_CheckLength(param_id) != static_cast<int>(length)) return CMBS_RC_ERROR_PARAMETER;
  PST_CMBS_PARAM_BLOCK block = cmbs_ie_BlockGet();
  if (!block) return CMBS_RC_ERROR_PARAMETER;
  const ST_IE_PARAM param{param_id, 0, length, value};
  cmbs_ie_AddParam(block, &param);
  return SendBlock(CMBS_EV_DSR_PARAM_SET, block);
}

int cmbs_dsr_param_AreaGet(void*, int flag, uint16_t address, uint16_t count) {
  if (flag != 0 || count > CMBS_PARAM_AREA_MAX) return CMBS_RC_ERROR_PARAMETER;
  PST_CMBS_PARAM_BLOCK block = cmbs_ie_BlockGet();
  if (!block) return CMBS_RC_ERROR_PARAMETER;
  const ST_IE_PARAM_AREA area{0, address, count, nullptr};
  cmbs_ie_AddParamArea(block, &area);
  return SendBlock(CMBS_EV_DSR_PARAM_AREA_GET, block);
}

int cmbs_dsr_param_AreaSet(void*, int flag, uint16_t address, const uint8_t* data, uint16_t count) {
  if (flag != 0 || count > CMBS_PARAM_AREA_MAX) return CMBS_RC_ERROR_PARAMETER;
  PST_CMBS_PARAM_BLOCK block = cmbs_ie_BlockGet();
  if (!block) return CMBS_RC_ERROR_PARAMETER;
  const ST_IE_PARAM_AREA area{0, address, count, data};
  cmbs_ie_AddParamArea(block, &area);
  return SendBlock(CMBS_EV_DSR_PARAM_AREA_SET, block);
}

int cmbs_dsr_sys_OverviewGet(void*) { return cmbs_event_Send(CMXX_EV_SYS_OVERVIEW_GET, nullptr, 0); }

int cmbs_dsr_log_LevelSet(void*, const char* text, uint32_t level) {
  PST_CMBS_PARAM_BLOCK block = cmbs_ie_BlockGet();
  if (!block) return CMBS_RC_ERROR_PARAMETER;
  ST_IE_LOG_MSG log{};
  log.level = level;
  if (text) std::memcpy(log.text, text, strnlen(text, CMBS_LOG_TEXT_SIZE));
  cmbs_ie_AddLogMsg(block, &log);
  return SendBlock(CMXX_EV_LOG_MSG, block);
}

int cmbs_dsr_logger_ConfigSet(void*, uint8_t logger_switch, uint16_t mask, const uint8_t* list,
                              uint16_t list_length) {
  PST_CMBS_PARAM_BLOCK block = cmbs_ie_BlockGet();
  if (!block) return CMBS_RC_ERROR_PARAMETER;
  cmbs_ie_AddU8(block, logger_switch, IE_LOGGER_SWITCH);
  cmbs_ie_AddU16(block, mask, IE_LOGGER_MASK);
  if (list) {
    const ST_IE_DATA data{list_length, list};
    cmbs_ie_AddData(block, &data);
  }
  SendBlock(CMXX_EV_LOGGER_CONFIG_SET, block);
  return 0;
}

int cmbs_dsr_logger_StatusGet() {
  cmbs_event_Send(CMXX_EV_LOGGER_STATUS_GET, nullptr, 0);
  return 0;
}
