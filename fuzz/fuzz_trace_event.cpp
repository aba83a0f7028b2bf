// Treats the input as the parameter block of a trace indication and of a logger status answer:
// decodes it, builds both packets, renders and scrambles their records, and prints the status
// block. Traps when a packet reaches outside the bytes received or a record breaks its form.
#include <cstdio>
#include <cstring>
#include <memory>

#include "fuzz/fuzz_walk.h"
#include "tracer/main_tracer_event.h"
#include "tracer/main_tracer_user.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("HALVERN_MID_FILE", "/nonexistent/halvern-fuzz-names.txt", 1);
  if (!std::freopen("/dev/null", "w", stdout)) return 0;  // the status block and messages
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size > 2048) return 0;
  const auto length = static_cast<uint16_t>(size);
  std::unique_ptr<uint8_t[]> copy(new uint8_t[length ? length : 1]);
  if (length) std::memcpy(copy.get(), bytes, length);
  ST_CMBS_PARAM_BLOCK block{length, length, 0, copy.get()};

  ST_TRACE_MSG msg;
  if (cmTracerGetMessage(&block, &msg) == 0) {
    fuzz::Check(msg.nsize <= TRACE_DATA_SIZE);
    for (int k = 0; k < 2; ++k) {
      uint16_t n = 0;
      std::unique_ptr<uint8_t[]> packet = cmTracerBuildPacket(&msg, k, &n);
      fuzz::Check(packet != nullptr && n >= 7 && n <= TRACE_PACKET_MAX);
      if (k == 0) fuzz::Check(n == msg.nsize + 7 && std::memcmp(packet.get() + 7, msg.data, msg.nsize) == 0);
      if (k == 1) {
        // The second packet's bytes are a run of the data received, and its length byte says how many.
        const size_t from = msg.offsets & 0x0F;
        fuzz::Check(n == 7 || (from + (n - 7u) <= msg.nsize &&
                               std::memcmp(packet.get() + 7, msg.data + from, n - 7u) == 0));
        fuzz::Check(packet[6] == static_cast<uint8_t>((n - 7) * 4));
      }
      char record[TRACE_RECORD_MAX + 1];
      const size_t r = cmTracerRenderRecord(packet.get(), n, record);
      fuzz::Check(r == 14 + 3u * n + 2u * ((n + 7u) / 8u) && r <= TRACE_RECORD_MAX);
      fuzz::Check(std::memcmp(record, "BEGIN", 5) == 0 && std::memcmp(record + r - 9, "\r\nEND\r\n\r\n", 9) == 0);
      std::string plain(record, r);
      const uint64_t index = cmTracerKeyIndex();
      cmTracerScramble(record, r);
      for (size_t i = 0; i < r; ++i) fuzz::Check((record[i] ^ "Q&Z"[(index + i) % 3]) == plain[i]);
    }
  }
  cmTracerCallBack(nullptr, 0x3800, &block);  // no trace file: reported and dropped
  cmTracerPrintStatus(&block);
  return 0;
}
