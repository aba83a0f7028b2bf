// Bringing the link up and down over the fake device, and shutdown against a running callback.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "cmbs/cmbs_dsr.h"
#include "cmbs/cmbs_event.h"
#include "fake_serial.h"

namespace halvern_test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class CmbsApiTest : public FakeSerialTest {
 protected:
  int Init(int device_type = 1) {
    const ST_CMBS_INIT init{device_type, &port_};
    return cmbs_api_Init(0, &init, nullptr);
  }
  std::vector<uint16_t> SentEvents() const {
    std::vector<uint16_t> ids;
    for (const SentFrame& f : fake_.Frames()) ids.push_back(f.event_id);
    return ids;
  }
  uint8_t port_ = 3;
};

TEST_F(CmbsApiTest, HelloAnsweredBringsTheLinkUp) {
  ASSERT_EQ(Init(), 0);
  EXPECT_EQ(fake_.LastPort(), 3);
  EXPECT_EQ(SentEvents(), std::vector<uint16_t>({0xFF01, 0xFF05}));
  EXPECT_TRUE(fake_.Frames()[0].params.empty()) << "no hello block: empty hello";
  EXPECT_EQ(cmbs_api_ProductVersionGet(), 0x0102);
  EXPECT_EQ(cmbs_api_BuildGet(), 0x0345);
  EXPECT_EQ(cmbs_api_HelloWord0Get(), 0x1111);
  EXPECT_EQ(cmbs_api_HelloWord3Get(), 0x2222);
  EXPECT_EQ(cmbs_api_TypeGet(), 0);

  int context = 0;
  auto cb = [](void*, uint32_t, void*) {};
  void* handle = cmbs_api_RegisterCallback(&context, cb, 256);
  EXPECT_NE(handle, nullptr);
  EXPECT_EQ(cmbs_api_RegisterCallback(&context, cb, 256), nullptr);

  // Down and up again on the same port; the new link takes a callback again.
  EXPECT_EQ(cmbs_api_Destroy(), 0);
  EXPECT_FALSE(fake_.IsOpen());
  fake_.ClearWrites();
  ASSERT_EQ(Init(), 0);
  EXPECT_EQ(SentEvents(), std::vector<uint16_t>({0xFF01, 0xFF05}));
  EXPECT_EQ(cmbs_api_RegisterCallback(&context, cb, 256), handle);
  EXPECT_EQ(fake_.OpenCalls(), 2);
}

TEST_F(CmbsApiTest, RefusedSetupFailsBeforeAnythingIsSent) {
  EXPECT_EQ(cmbs_api_Init(0, nullptr, nullptr), 4);
  EXPECT_EQ(Init(2), 5);
  EXPECT_EQ(Init(-1), 5);
  EXPECT_EQ(fake_.OpenCalls(), 0) << "the port is not touched";

  fake_.fail_open = true;
  const auto start = Clock::now();
  EXPECT_EQ(Init(), 5);
  EXPECT_LT(Clock::now() - start, 1s);
  EXPECT_EQ(fake_.OpenCalls(), 1);
  EXPECT_TRUE(fake_.Writes().empty());
  EXPECT_FALSE(g_cmbs.rx_thread.joinable());

  // Nothing of the failed attempts is left over.
  fake_.fail_open = false;
  ASSERT_EQ(Init(), 0);
}

TEST_F(CmbsApiTest, SilentTargetTimesOutAndLeavesNoThread) {
  fake_.answer_hello = false;
  const auto start = Clock::now();
  EXPECT_EQ(Init(), 5);
  const auto took = Clock::now() - start;
  EXPECT_GE(took, 4900ms);
  EXPECT_LT(took, 8s);
  EXPECT_EQ(SentEvents(), std::vector<uint16_t>{0xFF01});
  EXPECT_FALSE(g_cmbs.rx_thread.joinable());
  EXPECT_FALSE(fake_.IsOpen());
  EXPECT_EQ(fake_.CloseCalls(), 1);
}

// The port tells the receive path through the notification the link opened it with: arriving
// bytes reach the callback, a line gone ends the link and is reported once.
TEST_F(CmbsApiTest, PortNoticesReachTheReceivePath) {
  ASSERT_EQ(Init(), 0);
  static std::atomic<int> log_messages, lines_gone;
  log_messages = 0;
  lines_gone = 0;
  ASSERT_NE(cmbs_api_RegisterCallback(nullptr, [](void*, uint32_t event, void*) {
              if (event == CMXX_EV_LOG_MSG) ++log_messages;
              if (event == CMBS_EV_INT_LINE_GONE) ++lines_gone;
            }, 256), nullptr);
  fake_.Queue(Frame(CMXX_EV_LOG_MSG, {0x37, 0x01, 0x00}));
  ASSERT_TRUE(WaitFor([] { return log_messages.load() == 1; }));

  EXPECT_FALSE(cmbs_api_LineGone());
  fake_.HangUp();
  EXPECT_TRUE(cmbs_api_LineGone()) << "the line-gone notice did not reach the receive path";
  ASSERT_TRUE(WaitFor([] { return lines_gone.load() == 1; }));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(lines_gone, 1);
  EXPECT_EQ(log_messages, 1);
}

// State shared with the callbacks below; they run on the receive thread.
struct CallbackState {
  std::atomic<int> calls{0};
  std::atomic<bool> entered{false}, destroyed{false}, finished{false};
};

TEST_F(CmbsApiTest, DestroyFromInsideTheCallbackStopsFurtherCallbacks) {
  ASSERT_EQ(Init(), 0);
  static CallbackState state;
  state.calls = 0;
  state.destroyed = false;
  ASSERT_NE(cmbs_api_RegisterCallback(&state, [](void* ctx, uint32_t, void*) {
              auto* s = static_cast<CallbackState*>(ctx);
              ++s->calls;
              cmbs_api_Destroy();
              s->destroyed = true;
            }, 256), nullptr);
  const Bytes frame = Frame(CMXX_EV_LOG_MSG, {0x37, 0x01, 0x00});
  fake_.Queue(Cat({frame, frame, frame}));
  ASSERT_TRUE(WaitFor([] { return state.destroyed.load(); }));
  fake_.Queue(frame);
  std::this_thread::sleep_for(100ms);
  cmbs_api_Destroy();  // collects the thread
  EXPECT_FALSE(g_cmbs.rx_thread.joinable());
  EXPECT_EQ(state.calls, 1);
  EXPECT_FALSE(fake_.IsOpen());

  // The link comes up again afterwards.
  ASSERT_EQ(Init(), 0);
}

TEST_F(CmbsApiTest, DestroyWaitsForARunningCallback) {
  ASSERT_EQ(Init(), 0);
  static CallbackState state;
  state.entered = false;
  state.finished = false;
  ASSERT_NE(cmbs_api_RegisterCallback(&state, [](void* ctx, uint32_t, void*) {
              auto* s = static_cast<CallbackState*>(ctx);
              s->entered = true;
              std::this_thread::sleep_for(300ms);
              cmbs_dsr_sys_Reset(nullptr);  // sends while the link is being taken down
              s->finished = true;
            }, 256), nullptr);
  fake_.Queue(Frame(CMXX_EV_LOG_MSG, {0x37, 0x01, 0x00}));
  ASSERT_TRUE(WaitFor([] { return state.entered.load(); }));
  EXPECT_EQ(cmbs_api_Destroy(), 0);
  EXPECT_TRUE(state.finished) << "Destroy returned while the callback was still running";
  EXPECT_FALSE(g_cmbs.rx_thread.joinable());
}

}  // namespace
}  // namespace halvern_test
