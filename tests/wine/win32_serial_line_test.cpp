// The Win32 serial port on a live line: the simulated target on COM<n>, driven from the Linux side
// by the end-to-end set (wine_e2e.cpp runs these cases one at a time, with
// HALVERN_LINE_TEST_PORT=<n>, and hangs the line up or slows its modem-status calls as a case
// needs). Without that variable, as in the plain unit-test run, they are skipped.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/serial.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

const Bytes kHello = {0xDA, 0xDA, 0xDA, 0xDA, 0x08, 0x00, 0x00, 0x00, 0x01, 0xFF, 0x00, 0x00};

std::atomic<int> g_data{0};
std::atomic<int> g_gone{0};
void OnNotice(uint32_t notice) { (notice == platform::SERIAL_LINE_GONE ? g_gone : g_data).fetch_add(1); }

template <typename Pred>
bool WaitFor(Pred pred, int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!pred()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

class Win32SerialLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* port = std::getenv("HALVERN_LINE_TEST_PORT");
    if (!port || !*port) GTEST_SKIP() << "needs a simulated target on a COM port (run by the wine end-to-end set)";
    port_ = static_cast<uint8_t>(std::atoi(port));
    g_data = 0;
    g_gone = 0;
  }

  // Sends the hello and reads until the target's answer (at least a frame header) is in.
  void HelloRoundTrip(platform::SerialDevice& device) {
    ASSERT_EQ(device.Write(kHello.data(), kHello.size()), 1);
    Bytes in;
    ASSERT_TRUE(WaitFor([&] {
      uint8_t buffer[256];
      const size_t n = device.Read(buffer, sizeof buffer);
      in.insert(in.end(), buffer, buffer + n);
      return in.size() >= 12;
    }, 10000)) << "no answer to the hello";
  }

  uint8_t port_ = 0;
};

// The Linux side hangs the line up once the hello has been answered.
TEST_F(Win32SerialLineTest, HungUpLineIsAnnouncedOnceAndNeverTouchedAgain) {
  auto device = platform::CreateSerialDevice();
  ASSERT_EQ(device->Open(port_, &OnNotice), 0);
  EXPECT_FALSE(device->LineGone());
  HelloRoundTrip(*device);

  ASSERT_TRUE(WaitFor([] { return g_gone.load() > 0; }, 15000)) << "the hang-up was not announced";
  EXPECT_TRUE(device->LineGone());
  uint8_t buffer[16];
  EXPECT_EQ(device->Read(buffer, sizeof buffer), 0u);
  EXPECT_EQ(device->Write(kHello.data(), kHello.size()), 0);
  // Once, and the event thread no longer watches the line.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(g_gone.load(), 1);
  const int data_after = g_data.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(g_data.load(), data_after);

  const auto start = Clock::now();
  device->Close();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3)) << "Close drained a line that is gone";
  device->Close();
}

// The Linux side makes every modem-status call of the emulation slow, so that a communication-
// event wait is still pending, long after it was cancelled, when the port closes. Its late
// result must land in memory that is still the wait's, not on the stack of the port's thread
// that has ended: a thread started next gets that stack, painted here, and finds it unchanged.
TEST_F(Win32SerialLineTest, OpenAndCloseWithWaitsThatFinishLate) {
  auto device = platform::CreateSerialDevice();
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(device->Open(port_, &OnNotice), 0);
    HelloRoundTrip(*device);
    device->Close();
    EXPECT_FALSE(device->LineGone());
    size_t changed = 0;
    std::thread([&changed] {
      constexpr size_t kPaint = 32 * 1024;
      volatile unsigned char paint[kPaint];
      for (size_t i = 0; i < kPaint; ++i) paint[i] = 0xA5;
      std::this_thread::sleep_for(std::chrono::milliseconds(3500));  // the late wait ends meanwhile
      for (size_t i = 0; i < kPaint; ++i) changed += paint[i] != 0xA5;
    }).join();
    EXPECT_EQ(changed, 0u) << "a finished wait wrote into a stack that was no longer its own";
  }
}

}  // namespace
