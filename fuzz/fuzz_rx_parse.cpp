// Feeds arbitrary bytes to the receive path's frame reassembly in reads of varying size,
// keeping the held bytes between reads as the receive thread does. Every frame handed to
// the application is walked and decoded.
//
// Input: one flag byte (bit 0: byte-order mode), then records of one size byte and up to
// size + 1 bytes of line data.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "cmbs/cmbs_event.h"
#include "cmbs/cmbs_frame.h"
#include "cmbs/cmbs_int.h"
#include "cmbs/cmbs_rx.h"
#include "fuzz_walk.h"

namespace {

void OnEvent(void*, uint32_t event_id, void* param) {
  fuzz::Check(event_id < 0xFF00);  // internal events stay inside the link
  if (cmbs_event_IsRaw(static_cast<uint16_t>(event_id))) {
    const auto* header = static_cast<const uint8_t*>(param);
    ST_CMBS_FRAME_HEADER h;
    std::memcpy(&h, header, sizeof h);
    fuzz::Check(h.event_id == event_id && h.length >= 8 && h.length + 4u <= CMBS_RX_BUFFER_SIZE);
    volatile unsigned sink = fuzz::Touch(header, h.length);
    (void)sink;
    return;
  }
  const auto* block = static_cast<const ST_CMBS_PARAM_BLOCK*>(param);
  fuzz::Check(block->size == block->length && block->position == 0 && block->length <= CMBS_RX_BUFFER_SIZE - 12);
  fuzz::WalkAndDecode(block->data, block->length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool registered = cmbs_api_RegisterCallback(nullptr, OnEvent, 256) != nullptr;
  fuzz::Check(registered);
  if (size == 0) return 0;
  g_cmbs.state.byte_order = data[0] & 1;
  g_cmbs.run.store(true);
  static uint8_t buffer[CMBS_RX_BUFFER_SIZE];
  size_t held = 0;
  size_t at = 1;
  while (at < size) {
    const size_t want = static_cast<size_t>(data[at++]) + 1;
    const size_t n = std::min({want, size - at, sizeof buffer - held});
    std::memcpy(buffer + held, data + at, n);
    at += n;
    held = cmbs_rx_Parse(buffer, held + n);
    fuzz::Check(held < sizeof buffer);  // a full buffer would stall reception for good
  }
  g_cmbs.state.byte_order = 0;
  return 0;
}
