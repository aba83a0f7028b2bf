// The simulated target, driven over its pseudo-terminal like the tool drives it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>

#include <atomic>
#include <thread>

#include "fake_serial.h"
#include "platform/pty.h"
#include "session/comport_find.h"
#include "sim/sim_target.h"

namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

Bytes Frame(uint16_t event, const Bytes& params) {
  const size_t n = params.size();
  Bytes f(12 + n);
  const uint16_t header[] = {static_cast<uint16_t>(n + 8), 0, event, static_cast<uint16_t>(n)};
  for (size_t i = 0; i < 4; ++i) f[i] = 0xDA;
  for (size_t i = 0; i < 4; ++i) {
    f[4 + 2 * i] = static_cast<uint8_t>(header[i]);
    f[5 + 2 * i] = static_cast<uint8_t>(header[i] >> 8);
  }
  std::copy(params.begin(), params.end(), f.begin() + 12);
  return f;
}

class SimTargetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(target_.Start()) << target_.LastError();
    std::string error;
    fd_ = platform::TtyOpen(target_.DevicePath(), &error);
    ASSERT_GE(fd_, 0) << error;
  }
  void TearDown() override { platform::FdClose(fd_); }

  void Send(const Bytes& bytes) { ASSERT_TRUE(platform::FdWriteAll(fd_, bytes.data(), bytes.size(), 1000)); }

  // Reads until `count` bytes have come or the time is up; returns what came.
  Bytes Read(size_t count, std::chrono::milliseconds timeout = 2000ms) {
    Bytes got;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    uint8_t buf[512];
    while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
      long n = platform::FdRead(fd_, buf, std::min(sizeof buf, count - got.size()), 20);
      if (n < 0) break;
      got.insert(got.end(), buf, buf + n);
    }
    return got;
  }

  static sim::Config TestConfig() {
    sim::Config c;
    c.hello_word0 = 0x1111;  // product version 0x0102 and build 0x0345 are the defaults
    return c;
  }

  sim::Target target_{TestConfig()};
  int fd_ = -1;
};

TEST_F(SimTargetTest, AnswersHelloWithIdentificationAndRecordsTheRequest) {
  Send(Frame(0xFF01, {}));
  Bytes reply = Read(12 + 29);
  ASSERT_EQ(reply.size(), 41u);
  Bytes header(reply.begin(), reply.begin() + 12);
  EXPECT_EQ(header, Bytes({0xDA, 0xDA, 0xDA, 0xDA, 37, 0, 0, 0, 0x02, 0xFF, 29, 0}));
  EXPECT_EQ(Bytes(reply.begin() + 12, reply.begin() + 20), Bytes({0x11, 0x11, 0x45, 0x03, 0x02, 0x01, 0, 0}));
  EXPECT_TRUE(Read(1, 100ms).empty()) << "nothing follows the hello reply";

  // Reset communication is not answered.
  Send(Frame(0xFF05, {}));
  ASSERT_TRUE(target_.WaitForFrames(2, 2000ms));
  EXPECT_TRUE(Read(1, 100ms).empty());
  auto frames = target_.Received();
  EXPECT_EQ(frames[0].event_id, 0xFF01);
  EXPECT_EQ(frames[0].wire, Frame(0xFF01, {}));
  EXPECT_EQ(frames[1].event_id, 0xFF05);
}

TEST_F(SimTargetTest, ResynchronisesOnGarbageAndSplitInput) {
  // Noise, a sync word with an impossible length, then a reset request in two pieces.
  Bytes garbage = {0x00, 0xDA, 0x13, 0xDA, 0xDA, 0xDA, 0xDA, 0x03, 0x00};
  Bytes reset = Frame(0x001C, {});
  Send(garbage);
  Send(Bytes(reset.begin(), reset.begin() + 5));
  Send(Bytes(reset.begin() + 5, reset.end()));
  ASSERT_TRUE(target_.WaitForEvent(0x001C, 2000ms));
  EXPECT_EQ(target_.Received().size(), 1u);
  EXPECT_EQ(target_.ResetCount(), 1);
  EXPECT_EQ(target_.ReceivedBytes().size(), garbage.size() + reset.size());
}

TEST_F(SimTargetTest, ParameterAreaSetThenGetPutsDataBeforeResponse) {
  Send(Frame(0x0035, {0x15, 9, 0, 0, 0x00, 0x01, 4, 0, 0xDE, 0xAD, 0xBE, 0xEF}));
  EXPECT_EQ(Read(15), Frame(0x0036, {0x11, 1, 0}));
  EXPECT_EQ(target_.ParamArea(0x100, 4), Bytes({0xDE, 0xAD, 0xBE, 0xEF}));

  Send(Frame(0x0033, {0x15, 5, 0, 0, 0xFF, 0x00, 3, 0}));
  EXPECT_EQ(Read(12 + 11 + 3),
            Frame(0x0034, {0x15, 8, 0, 0, 0xFF, 0x00, 3, 0, 0x00, 0xDE, 0xAD, 0x11, 1, 0}));

  // Beyond the end of the area: refused without data.
  Send(Frame(0x0033, {0x15, 5, 0, 0, 0xFF, 0xFF, 2, 0}));
  EXPECT_EQ(Read(15), Frame(0x0034, {0x11, 1, 1}));
}

TEST_F(SimTargetTest, FaultsRefuseSwallowAndPrefixNoise) {
  sim::Fault refuse;
  refuse.result = 1;
  refuse.after = 1;  // the first start is accepted, later ones refused
  target_.SetFault(0x000E, refuse);
  Send(Frame(0x000E, {1, 2, 3}));
  EXPECT_EQ(Read(15), Frame(0x000F, {0x11, 1, 0}));
  Send(Frame(0x000E, {9, 9}));
  EXPECT_EQ(Read(15), Frame(0x000F, {0x11, 1, 1}));
  EXPECT_EQ(target_.FirmwareImage(), Bytes({1, 2, 3})) << "a refused start keeps the old image";

  sim::Fault silent;
  silent.no_answer = true;
  target_.SetFault(0x0010, silent);
  Send(Frame(0x0010, {4}));
  ASSERT_TRUE(target_.WaitForEvent(0x0010, 2000ms));
  EXPECT_TRUE(Read(1, 200ms).empty());

  sim::Fault noisy;
  noisy.noise = {0xDA, 0x00, 0x55};
  noisy.split = true;
  target_.SetFault(0x0012, noisy);
  Send(Frame(0x0012, {}));
  Bytes expected = noisy.noise;
  Bytes res = Frame(0x0013, {0x11, 1, 0});
  expected.insert(expected.end(), res.begin(), res.end());
  EXPECT_EQ(Read(expected.size()), expected);
  EXPECT_TRUE(target_.FirmwareEnded());
}

TEST_F(SimTargetTest, FaultWithTimesHitsOnlyThatManyRequests) {
  sim::Fault refuse_once;
  refuse_once.result = 3;
  refuse_once.after = 1;
  refuse_once.times = 1;  // only the second chunk is refused
  target_.SetFault(0x0010, refuse_once);
  Send(Frame(0x000E, {1}));
  EXPECT_EQ(Read(15), Frame(0x000F, {0x11, 1, 0}));
  for (uint8_t result : {0, 3, 0, 0}) {
    Send(Frame(0x0010, {result}));
    EXPECT_EQ(Read(15), Frame(0x0011, {0x11, 1, result}));
  }
  EXPECT_EQ(target_.FirmwareImage(), Bytes({1, 0, 0, 0}));
}

TEST(SimTargetTreeTest, SeveralTargetsShareOneTreeEachWithItsSerialAndFaults) {
  namespace fs = std::filesystem;
  auto dir = fs::temp_directory_path() /
             ("sim_trees_" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  auto line = [](const fs::path& file) {
    std::ifstream in(file);
    std::string text;
    std::getline(in, text);
    return text;
  };
  {
    sim::Config named;
    named.usb_serial = "RX5120-0002";
    auto first = std::make_unique<sim::Target>();
    auto second = std::make_unique<sim::Target>(named);
    ASSERT_TRUE(first->Start() && second->Start());
    ASSERT_TRUE(first->LayOutTree(dir.string(), 1));
    ASSERT_TRUE(second->LayOutTree(dir.string(), 2));
    sim::Target clash;
    ASSERT_TRUE(clash.Start());
    EXPECT_FALSE(clash.LayOutTree(dir.string(), 2)) << "a port is laid out once";
    EXPECT_NE(clash.LastError().find("port 2 is laid out already"), std::string::npos) << clash.LastError();
    EXPECT_EQ(first->SysfsRoot(), second->SysfsRoot());
    const fs::path sys = first->SysfsRoot();
    EXPECT_EQ(line(sys / "devices/usb1/1-1/serial"), "SIM51200001");
    EXPECT_EQ(line(sys / "devices/usb1/1-2/serial"), "RX5120-0002");
    EXPECT_EQ(platform::ReadSymlink(first->DevRoot() + "/ttyACM0"), first->DevicePath());
    EXPECT_EQ(platform::ReadSymlink(first->DevRoot() + "/ttyACM1"), second->DevicePath());

    // A fault set on one target leaves the other answering.
    sim::Fault refuse;
    refuse.result = 1;
    second->SetFault(0x000E, refuse);
    std::string error;
    for (auto* target : {first.get(), second.get()}) {
      int fd = platform::TtyOpen(target->DevicePath(), &error);
      ASSERT_GE(fd, 0) << error;
      Bytes request = Frame(0x000E, {1});
      ASSERT_TRUE(platform::FdWriteAll(fd, request.data(), request.size(), 1000));
      Bytes got(15);
      size_t have = 0;
      auto deadline = std::chrono::steady_clock::now() + 2s;
      while (have < got.size() && std::chrono::steady_clock::now() < deadline) {
        long n = platform::FdRead(fd, got.data() + have, got.size() - have, 20);
        if (n < 0) break;
        have += static_cast<size_t>(n);
      }
      platform::FdClose(fd);
      EXPECT_EQ(got, Frame(0x000F, {0x11, 1, static_cast<uint8_t>(target == first.get() ? 0 : 1)}));
    }
    second.reset();  // the last laid out goes first
    EXPECT_FALSE(fs::exists(sys / "class/tty/ttyACM1"));
    EXPECT_TRUE(fs::exists(sys / "class/tty/ttyACM0"));
  }
  EXPECT_FALSE(fs::exists(dir)) << "the shared tree goes with its targets";
}

TEST_F(SimTargetTest, HangUpClosesTheLineAndLaidOutTreeFindsTheDevice) {
  auto dir = std::filesystem::temp_directory_path() / ("sim_tree_" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  {
    sim::Target other;
    ASSERT_TRUE(other.Start());
    ASSERT_TRUE(other.LayOutTree(dir.string(), 2));
    auto tty = std::filesystem::path(other.SysfsRoot()) / "class/tty/ttyACM1";
    EXPECT_EQ(std::filesystem::canonical(tty / "device").parent_path(),
              std::filesystem::canonical(std::filesystem::path(other.SysfsRoot()) / "devices/usb1/1-2"));
    std::ifstream vid(tty / "device/../idVendor");
    std::string line;
    std::getline(vid, line);
    EXPECT_EQ(line, "3f7a");
    EXPECT_EQ(platform::ReadSymlink(other.DevRoot() + "/ttyACM1"), other.DevicePath());
  }
  EXPECT_FALSE(std::filesystem::exists(dir)) << "the tree goes with its target";

  target_.HangUp();
  uint8_t b;
  auto deadline = std::chrono::steady_clock::now() + 2s;
  long n = 0;
  while ((n = platform::FdRead(fd_, &b, 1, 20)) == platform::kReadTimeout && std::chrono::steady_clock::now() < deadline) {
  }
  EXPECT_EQ(n, platform::kReadClosed);
  target_.PushLogLine(1, "after the hang-up");  // must not fail or crash
}

// A repeater pulled out or put in while the ports are listed is seen whole or not at all: never
// without its serial number (a unit of its own, which a watch would then serve and fail).
TEST(SimTargetTreeTest, AListTakenWhileARepeaterComesAndGoesSeesItWholeOrNotAtAll) {
  auto dir = std::filesystem::temp_directory_path() /
             ("sim_flap_" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  sim::Config named;
  named.usb_serial = "RX9001";
  sim::Target target(named);
  ASSERT_TRUE(target.Start());
  ASSERT_TRUE(target.LayOutTree(dir.string(), 1));
  halvern_test::ScopedEnv sysfs("HALVERN_SYSFS_ROOT", target.SysfsRoot());
  halvern_test::ScopedEnv dev("HALVERN_DEV_ROOT", target.DevRoot());
  std::atomic<bool> done{false};
  std::thread flapper([&] {
    while (!done) {
      target.Unplug();
      if (!target.Plug()) break;
    }
  });
  int seen = 0, torn = 0;
  for (int i = 0; i < 20000; ++i) {
    for (const ST_REPEATER& r : cmComPortFindAll("VID_3F7A&PID_5120")) {
      ++seen;
      if (r.serial != "RX9001") ++torn;
    }
  }
  done = true;
  flapper.join();
  EXPECT_GT(seen, 0);
  EXPECT_EQ(torn, 0) << "listed without its serial number";
}

}  // namespace
