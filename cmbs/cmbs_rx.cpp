#include "cmbs/cmbs_rx.h"

#include <cstring>

#include "cmbs/cmbs_event.h"
#include "cmbs/cmbs_frame.h"
#include "cmbs/cmbs_int.h"
#include "serial/serial_port.h"

namespace {

constexpr uint32_t kPollMs = 500;

uint16_t ReadLength(const uint8_t* at) {
  uint16_t lo = at[0], hi = at[1];
  return static_cast<uint16_t>(g_cmbs.state.byte_order ? (lo << 8) | hi : (hi << 8) | lo);
}

}  // namespace

void cmbs_rx_Wake() {
  if (platform::Event* wake = g_cmbs.rx_wake_signal.load()) wake->Set();
}

void cmbs_rx_LineGone() {
  g_cmbs.line_gone.store(true);
  cmbs_rx_Wake();
  if (platform::Event* init = g_cmbs.init_signal.load()) init->Set();  // a start-up waits no longer
}

void cmbs_rx_Notice(uint32_t notice) {
  if (notice == platform::SERIAL_LINE_GONE)
    cmbs_rx_LineGone();
  else
    cmbs_rx_Wake();
}

// Woken at once: a stop asked for ends the command after the frame being written, not a poll later.
// It comes from a thread of its own, which may find the link being taken down meanwhile.
void cmbs_rx_EndSoon() {
  g_cmbs.line_gone.store(true);
  std::lock_guard outside(g_cmbs.outside_wake_mutex);
  cmbs_rx_Wake();
}

namespace {

// The application hears once that the line is gone, after every frame that came before.
void ReportLineGone() {
  PFN_CMBS_API_CB callback;
  void* context;
  {
    std::lock_guard lock(g_cmbs.state_mutex);
    callback = g_cmbs.state.callback;
    context = g_cmbs.state.app_context;
  }
  if (!callback || !g_cmbs.run.load()) return;
  ST_CMBS_PARAM_BLOCK empty{0, 0, 0, nullptr};
  callback(context, CMBS_EV_INT_LINE_GONE, &empty);
}

}  // namespace

void cmbs_rx_Thread(ST_CMBS_API_INST* inst) {
  if (inst->init_event) inst->init_event->Set();  // tell cmbs_api_Init that the thread runs
  uint8_t buffer[CMBS_RX_BUFFER_SIZE];
  size_t held = 0;
  while (inst->run.load()) {
    const bool gone = inst->line_gone.load();  // read first: what came before it is then queued
    size_t got;
    do {  // once the line is gone, everything still queued is taken at once
      got = cmbs_uart_Read(buffer + held, sizeof buffer - held);
      held = cmbs_rx_Parse(buffer, held + got);
      if (got > 0)
        if (PFN_CMBS_RX_BURST_END burst_end = inst->burst_end.load()) burst_end();
    } while (gone && got > 0 && inst->run.load());
    if (!inst->run.load()) break;
    if (gone) {
      ReportLineGone();
      // A start-up waiting for the hello reply waits no longer (ended by cmbs_rx_EndSoon).
      if (inst->init_event) inst->init_event->Set();
      break;  // nothing more can come: the thread ends instead of waiting on a dead line
    }
    inst->rx_wake->Wait(kPollMs);  // woken on arrival; the timeout covers a missed signal
  }
}

size_t cmbs_rx_Parse(uint8_t* buffer, size_t count) {
  static const uint8_t kSync[4] = {0xDA, 0xDA, 0xDA, 0xDA};
  size_t start = 0;  // frames and noise before start are consumed
  while (count - start > 0) {
    uint8_t* at = buffer + start;
    size_t held = count - start;
    if (held >= 4 && std::memcmp(at, kSync, 4) != 0) {
      ++start;  // resynchronise byte by byte
      continue;
    }
    if (held < 6) break;
    uint16_t length = ReadLength(at + 4);
    if (length < 8 || length + 4u > CMBS_RX_BUFFER_SIZE) {
      ++start;  // cannot be a frame: too short for its own header, or longer than we can ever hold
      continue;
    }
    if (held < length + 4u) break;
    if (!g_cmbs.run.load()) return 0;  // the link is going down: hand out nothing more
    if (g_cmbs.state.byte_order) cmbs_frame_SwapHeader(at + 4);
    cmbs_rx_Dispatch(at + 4, length);
    start += length + 4u;
  }
  if (start > 0 && start < count) std::memmove(buffer, buffer + start, count - start);
  return count - start;
}

void cmbs_rx_Dispatch(uint8_t* header, uint16_t length) {
  ST_CMBS_FRAME_HEADER h;
  std::memcpy(&h, header, sizeof h);
  uint8_t* params = header + 8;
  uint16_t param_length = static_cast<uint16_t>(length - 8);
  if ((h.event_id >> 8) == 0xFF) {
    cmbs_rx_HandleInternal(static_cast<uint8_t>(h.event_id), params, param_length);
    return;
  }
  PFN_CMBS_API_CB callback;
  void* context;
  {
    std::lock_guard lock(g_cmbs.state_mutex);
    callback = g_cmbs.state.callback;
    context = g_cmbs.state.app_context;
  }
  if (!callback) return;
  if (cmbs_event_IsRaw(h.event_id)) {
    callback(context, h.event_id, header);
    return;
  }
  ST_CMBS_PARAM_BLOCK block{param_length, param_length, 0, params};
  callback(context, h.event_id, &block);
}

void cmbs_rx_HandleInternal(uint8_t code, const uint8_t* params, uint16_t length) {
  switch (code) {
    case CMBS_INT_HELLO_RES: {
      // A short reply leaves the fields it does not carry at 0.
      uint8_t reply[CMBS_HELLO_REPLY_SIZE] = {};
      std::memcpy(reply, params, length < sizeof reply ? length : sizeof reply);
      ST_CMBS_TARGET_ID& t = g_cmbs.state.target;
      cmbs_ie_ReadU16(reply + 0, &t.word0);
      cmbs_ie_ReadU16(reply + 2, &t.build);
      cmbs_ie_ReadU16(reply + 4, &t.product_version);
      cmbs_ie_ReadU16(reply + 6, &t.word3);
      t.b9 = reply[9];
      std::memcpy(&t.u10, reply + 10, 4);
      std::memcpy(&t.u14, reply + 14, 4);
      std::memcpy(&t.w18, reply + 18, 2);
      t.b20 = reply[20];
      std::memcpy(&t.u21, reply + 21, 4);
      std::memcpy(&t.u25, reply + 25, 4);
      if (g_cmbs.init_event) g_cmbs.init_event->Set();
      break;
    }
    case CMBS_INT_STATE_ON:
    case CMBS_INT_STATE_OFF: {
      uint16_t state = 0;
      if (length >= 2) cmbs_ie_ReadU16(params, &state);
      (void)state;  // carried by the target, no effect on the host
      break;
    }
    default:
      break;  // reset-communication and anything else: no effect
  }
}
