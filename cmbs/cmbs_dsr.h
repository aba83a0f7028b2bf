// Request encoders: each builds its parameter block and sends one frame.
// Results: 0 (sent), or 4 for refused arguments (nothing built or sent).
// `handle` is the registration handle; it is not used.
#pragma once

#include <cstdint>

int cmbs_dsr_fw_UpdateStart(void* handle, const uint8_t* chunk, uint16_t length);
int cmbs_dsr_fw_UpdatePacketNext(void* handle, const uint8_t* chunk, uint16_t length);
int cmbs_dsr_fw_UpdateEnd(void* handle, const uint8_t* block, uint16_t length);
int cmbs_dsr_sys_Reset(void* handle);
int cmbs_dsr_sys_PowerOff();
int cmbs_dsr_param_Set(void* handle, int flag, uint8_t param_id, const uint8_t* value, uint16_t length);
int cmbs_dsr_param_AreaGet(void* handle, int flag, uint16_t address, uint16_t count);
int cmbs_dsr_param_AreaSet(void* handle, int flag, uint16_t address, const uint8_t* data, uint16_t count);
int cmbs_dsr_sys_OverviewGet(void* handle);
int cmbs_dsr_log_LevelSet(void* handle, const char* text, uint32_t level);
int cmbs_dsr_logger_ConfigSet(void* unused, uint8_t logger_switch, uint16_t mask, const uint8_t* list,
                              uint16_t list_length);
int cmbs_dsr_logger_StatusGet();
