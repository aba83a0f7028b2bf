#include "cmbs/cmbs_frame.h"

#include <cstring>

#include "cmbs/cmbs_int.h"
#include "serial/serial_port.h"

uint16_t cmbs_util_Swap16(uint16_t value) { return static_cast<uint16_t>((value >> 8) | (value << 8)); }

uint32_t cmbs_util_Swap32(uint32_t value) {
  return (value >> 24) | ((value >> 8) & 0xFF00u) | ((value << 8) & 0xFF0000u) | (value << 24);
}

int cmbs_util_HostByteOrder() { return 0; }

void cmbs_frame_SwapHeader(uint8_t* header) {
  for (size_t i = 0; i < 4; ++i) std::swap(header[2 * i], header[2 * i + 1]);
}

void cmbs_frame_BuildHeader(uint16_t event_id, uint16_t param_length, int byte_order,
                            uint8_t out[CMBS_HEADER_SIZE]) {
  const uint16_t fields[4] = {static_cast<uint16_t>(param_length + 8), 0, event_id, param_length};
  out[0] = out[1] = out[2] = out[3] = 0xDA;
  for (int i = 0; i < 4; ++i) {
    uint16_t v = fields[i];
    // Mode 0: low byte first, as the fields lie in memory on this host.
    out[4 + 2 * i] = static_cast<uint8_t>(byte_order ? v >> 8 : v);
    out[5 + 2 * i] = static_cast<uint8_t>(byte_order ? v : v >> 8);
  }
}

int cmbs_frame_Send(uint16_t event_id, const uint8_t* params, uint16_t param_length) {
  uint8_t header[CMBS_HEADER_SIZE];
  cmbs_frame_BuildHeader(event_id, param_length, g_cmbs.state.byte_order, header);
  std::recursive_mutex* lock = g_cmbs.tx_lock.get();
  if (!lock) return 0;  // link down: the frame is lost like any other failed write
  std::lock_guard guard(*lock);
  bool written = cmbs_uart_Write(header, 4) == 0;
  written = cmbs_uart_Write(header + 4, 8) == 0 && written;
  if (params && param_length) written = cmbs_uart_Write(params, param_length) == 0 && written;
  if (!written) g_cmbs.write_failed.store(true);  // for cmbs_api_Flush
  return 0;
}

int cmbs_event_Send(uint16_t event_id, const uint8_t* params, uint16_t param_length) {
  return cmbs_frame_Send(event_id, params, param_length);
}

int cmbs_internal_Send(uint8_t code, const uint8_t* params, uint16_t param_length) {
  return cmbs_frame_Send(static_cast<uint16_t>(0xFF00 | code), params, param_length);
}
