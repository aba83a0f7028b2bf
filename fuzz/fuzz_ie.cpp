// Treats the input as a received parameter block: walks it and runs every decoder in
// both byte-order modes, then hands it to the session's parameter-area response handlers
// with a small destination.
#include <cstddef>
#include <cstring>
#include <cstdint>
#include <memory>

#include "cmbs/cmbs_frame.h"
#include "cmbs/cmbs_int.h"
#include "fuzz_walk.h"
#include "session/fwapp.h"

namespace {

uint8_t* g_expected_value = nullptr;

void OnProgress(uint32_t, uint32_t code, uintptr_t value) {
  fuzz::Check(code == FWAPP_PARAM_GET_OK || code == FWAPP_PARAM_SET_OK || code == FWAPP_PARAM_FAILED);
  fuzz::Check(value == 0 || value == reinterpret_cast<uintptr_t>(g_expected_value));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > CMBS_RX_BUFFER_SIZE) return 0;
  const auto length = static_cast<uint16_t>(size);
  for (int mode : {0, 1}) {
    g_cmbs.state.byte_order = mode;
    fuzz::WalkAndDecode(data, length);
  }
  g_cmbs.state.byte_order = 0;

  std::unique_ptr<uint8_t[]> copy(new uint8_t[size ? size : 1]);
  if (size) std::memcpy(copy.get(), data, size);
  const uint16_t room = size ? static_cast<uint16_t>((data[0] & 7) + 1) : 1;
  std::unique_ptr<uint8_t[]> destination(new uint8_t[room]);
  g_expected_value = destination.get();

  auto app = std::make_unique<ST_FWAPP_OBJ>();
  app->progress_cb = OnProgress;
  app->get_pending = true;
  app->get_buffer = destination.get();
  app->get_buffer_size = room;
  ST_CMBS_PARAM_BLOCK block{length, length, 0, copy.get()};
  cmFwUpCallBack(app.get(), 0x0034, &block);
  // Reported answers release the destination; an answer for another read leaves this one pending.
  fuzz::Check(app->get_buffer == nullptr || app->get_buffer == destination.get());
  block.position = 0;
  cmFwUpCallBack(app.get(), 0x0036, &block);
  return 0;
}
