// The frame sender: header layout, the writes of one frame, and frames from two threads.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "cmbs/cmbs_event.h"
#include "cmbs/cmbs_frame.h"
#include "fake_serial.h"

namespace halvern_test {
namespace {

using FrameSendTest = FakeSerialTest;

const Bytes kSync = {0xDA, 0xDA, 0xDA, 0xDA};

TEST_F(FrameSendTest, EmptyEventIsSyncThenHeaderInTwoWrites) {
  LinkUp();
  EXPECT_EQ(cmbs_event_Send(CMBS_EV_DSR_SYS_RESET, nullptr, 0), 0);
  // A block pointer with length 0 sends no third write either.
  const uint8_t unused = 0x77;
  EXPECT_EQ(cmbs_event_Send(CMXX_EV_DSR_POWER_OFF, &unused, 0), 0);
  const std::vector<Bytes> expected = {kSync, {0x08, 0x00, 0x00, 0x00, 0x1C, 0x00, 0x00, 0x00},
                                       kSync, {0x08, 0x00, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00}};
  EXPECT_EQ(fake_.Writes(), expected);
}

TEST_F(FrameSendTest, InternalSendPutsCodeUnderHighByteFF) {
  LinkUp();
  const uint8_t hello[5] = {1, 2, 3, 4, 5};
  cmbs_internal_Send(5, nullptr, 0);
  cmbs_internal_Send(1, hello, sizeof hello);
  const std::vector<Bytes> expected = {kSync, {0x08, 0x00, 0x00, 0x00, 0x05, 0xFF, 0x00, 0x00},
                                       kSync, {0x0D, 0x00, 0x00, 0x00, 0x01, 0xFF, 0x05, 0x00},
                                       {1, 2, 3, 4, 5}};
  EXPECT_EQ(fake_.Writes(), expected);
}

TEST_F(FrameSendTest, FullChunkGoesOutAsThirdWrite) {
  LinkUp();
  Bytes chunk(256);
  for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<uint8_t>(i * 7);
  cmbs_event_Send(CMBS_EV_DSR_FW_UPD_START, chunk.data(), 256);
  const std::vector<Bytes> expected = {kSync, {0x08, 0x01, 0x00, 0x00, 0x0E, 0x00, 0x00, 0x01}, chunk};
  EXPECT_EQ(fake_.Writes(), expected);
}

TEST_F(FrameSendTest, ConcurrentSendersNeverInterleave) {
  LinkUp();
  constexpr int kFrames = 5000;
  std::atomic<int> ready{0};
  auto sender = [&ready](uint16_t event, uint8_t fill) {
    Bytes block(40, fill);
    ++ready;
    while (ready < 2) std::this_thread::yield();  // start together
    for (int i = 0; i < kFrames; ++i) {
      block[0] = static_cast<uint8_t>(i);
      cmbs_event_Send(event, block.data(), static_cast<uint16_t>(block.size()));
    }
  };
  std::thread a(sender, 0x0033, 0xAA), b(sender, 0x0035, 0xBB);
  a.join();
  b.join();

  // Every frame must be sync, header, block in three consecutive writes, the block
  // belonging to the header's event, and each thread's frames in its own order.
  const std::vector<Bytes> writes = fake_.Writes();
  ASSERT_EQ(writes.size(), 3u * 2 * kFrames);
  int next[2] = {0, 0};
  for (size_t i = 0; i < writes.size(); i += 3) {
    ASSERT_EQ(writes[i], kSync) << "write " << i;
    ASSERT_EQ(writes[i + 1].size(), 8u);
    const uint16_t event = uint16_t(writes[i + 1][4] | writes[i + 1][5] << 8);
    ASSERT_TRUE(event == 0x0033 || event == 0x0035);
    const int who = event == 0x0033 ? 0 : 1;
    ASSERT_EQ(writes[i + 2].size(), 40u);
    EXPECT_EQ(writes[i + 2][1], who == 0 ? 0xAA : 0xBB) << "block of another frame at write " << i + 2;
    EXPECT_EQ(writes[i + 2][0], static_cast<uint8_t>(next[who]++));
  }
  EXPECT_EQ(next[0], kFrames);
  EXPECT_EQ(next[1], kFrames);
}

}  // namespace
}  // namespace halvern_test
