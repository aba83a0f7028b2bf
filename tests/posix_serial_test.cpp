// The POSIX serial back end on a real pseudo-terminal: exclusive open, reads that never block,
// writes bounded in time, the last bytes written before a close, and a line that hangs up.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/pty.h"
#include "platform/serial.h"
#include "platform/spawn.h"
#include "tests/e2e_support.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::atomic<int> g_data{0};
std::atomic<int> g_gone{0};

void OnNotice(uint32_t notice) {
  if (notice == platform::SERIAL_LINE_GONE)
    ++g_gone;
  else
    ++g_data;
}

// A pseudo-terminal the back end finds as COM1 under a device root of its own.
class PosixSerialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(platform::PtyOpen(&pty_, &error)) << error;
    std::filesystem::create_symlink(pty_.slave_path, dir_.path() / "ttyACM0");
    platform::SetEnv("HALVERN_DEV_ROOT", dir_.path().string());
    g_data = 0;
    g_gone = 0;
  }
  void TearDown() override {
    platform::FdClose(pty_.master);
    platform::FdClose(pty_.slave);
  }
  int Exclusive() const {
    int on = -1;
    return ::ioctl(pty_.slave, TIOCGEXCL, &on) == 0 ? on : -1;
  }
  // Everything the other side can read within a short while.
  std::vector<uint8_t> Drain() const {
    std::vector<uint8_t> all;
    uint8_t buf[4096];
    for (long n; (n = platform::FdRead(pty_.master, buf, sizeof buf, 300)) > 0;) all.insert(all.end(), buf, buf + n);
    return all;
  }

  e2e::TempDir dir_;
  platform::PtyPair pty_;
};

TEST_F(PosixSerialTest, OpenIsExclusiveAndReleasedOnClose) {
  auto port = platform::CreateSerialDevice();
  ASSERT_EQ(port->Open(1, OnNotice), 0);
  EXPECT_EQ(Exclusive(), 1);  // programs that take no lock are kept out too
  auto second = platform::CreateSerialDevice();
  const auto start = Clock::now();
  EXPECT_EQ(second->Open(1, OnNotice), -1);
  EXPECT_LT(Clock::now() - start, milliseconds(1000));
  EXPECT_TRUE(second->OpenFailedInUse());
  port->Close();
  EXPECT_EQ(Exclusive(), 0);
  EXPECT_EQ(second->Open(1, OnNotice), 0);
  EXPECT_FALSE(second->OpenFailedInUse());
  auto missing = platform::CreateSerialDevice();
  EXPECT_EQ(missing->Open(2, OnNotice), -1);  // no such node
  EXPECT_FALSE(missing->OpenFailedInUse());
}

TEST_F(PosixSerialTest, ReadsNeverBlockAndTheLastWriteReachesTheOtherSide) {
  auto port = platform::CreateSerialDevice();
  ASSERT_EQ(port->Open(1, OnNotice), 0);
  uint8_t buf[64];
  const auto start = Clock::now();
  EXPECT_EQ(port->Read(buf, sizeof buf), 0u);
  EXPECT_LT(Clock::now() - start, milliseconds(500));

  const std::vector<uint8_t> hello = {1, 2, 3};
  ASSERT_TRUE(platform::FdWriteAll(pty_.master, hello.data(), hello.size(), 1000));
  for (int i = 0; i < 200 && g_data == 0; ++i) std::this_thread::sleep_for(milliseconds(5));
  EXPECT_GE(g_data.load(), 1);
  EXPECT_EQ(port->Read(buf, sizeof buf), 3u);

  std::vector<uint8_t> request(3000);
  for (size_t i = 0; i < request.size(); ++i) request[i] = uint8_t(i * 13);
  EXPECT_EQ(port->Write(request.data(), request.size()), 1);
  port->Close();  // at once: nothing of the request may be lost
  EXPECT_EQ(Drain(), request);
}

TEST_F(PosixSerialTest, WriteNobodyReadsGivesUpAfterItsBound) {
  auto port = platform::CreateSerialDevice();
  ASSERT_EQ(port->Open(1, OnNotice), 0);
  std::vector<uint8_t> flood(1 << 20, 0x55);  // far more than the line's buffers hold
  const auto start = Clock::now();
  EXPECT_EQ(port->Write(flood.data(), flood.size()), 0);
  const auto took = Clock::now() - start;
  EXPECT_GE(took, milliseconds(3900));
  EXPECT_LT(took, milliseconds(9000));
}

TEST_F(PosixSerialTest, HangUpIsReportedOnceAndTheLineIsLeftAlone) {
  auto port = platform::CreateSerialDevice();
  ASSERT_EQ(port->Open(1, OnNotice), 0);
  EXPECT_FALSE(port->LineGone());
  // The other side goes away: both of its descriptors close.
  platform::FdClose(pty_.master);
  platform::FdClose(pty_.slave);
  pty_.master = pty_.slave = -1;
  for (int i = 0; i < 400 && g_gone == 0; ++i) std::this_thread::sleep_for(milliseconds(5));
  EXPECT_EQ(g_gone.load(), 1);
  EXPECT_TRUE(port->LineGone());
  std::this_thread::sleep_for(milliseconds(200));
  EXPECT_EQ(g_gone.load(), 1);  // once, and nothing polls the dead line afterwards
  const int data_notices = g_data.load();
  std::this_thread::sleep_for(milliseconds(200));
  EXPECT_EQ(g_data.load(), data_notices);

  uint8_t buf[16];
  EXPECT_EQ(port->Read(buf, sizeof buf), 0u);
  const uint8_t request[4] = {0xDA, 0xDA, 0xDA, 0xDA};
  const auto start = Clock::now();
  EXPECT_EQ(port->Write(request, sizeof request), 0);
  EXPECT_LT(Clock::now() - start, milliseconds(500));  // no 4 s wait on a line that is gone
  port->Close();
  EXPECT_FALSE(port->LineGone());
}

}  // namespace
