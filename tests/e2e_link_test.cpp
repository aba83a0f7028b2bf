// The tool as a user runs it, against the simulated target on a pseudo-terminal:
// console output and wire bytes compared exactly.
#include <thread>

#include "tests/e2e_support.h"

namespace e2e {
namespace {

const std::string kInitFailed =
    "[ERROR] Couldn't initialize application.\nPlease check if target is connected and running!\n";
const std::string kConnectivityFailed =
    "\n[ERROR]\tTarget connectivity failed! Check COMPort is not used from other application\n\n" + kRule + "\n";
const std::string kVersion0102 = "Product: SW Version 01.02.0345\n\n" + kRule + "\n";

class LinkTest : public SimTest {};

TEST_F(LinkTest, VersionComesFromTheHelloReply) {
  StartTarget();
  auto r = Run({"-p", "RX5120", "-cmd", "version"});
  EXPECT_EQ(r.out, kBanner + kVersion0102);
  EXPECT_EQ(r.exit_status, 0);
  ASSERT_TRUE(target_->WaitForFrames(2, std::chrono::seconds(5)));
  EXPECT_EQ(target_->ReceivedBytes(), Concat({kHelloFrame, kResetCommFrame}));
}

TEST_F(LinkTest, VersionDigitsAreLowerCaseHex) {
  sim::Config config;
  config.product_version = 0xAB0C;
  config.build = 0xBEEF;
  StartTarget(config);
  auto r = Run({"-p", "RX5120x", "-cmd", "version"});
  EXPECT_EQ(r.out, kBanner + "Product: SW Version ab.0c.beef\n\n" + kRule + "\n");
}

TEST_F(LinkTest, ShortHelloReplyReadsMissingFieldsAsZero) {
  sim::Config config;
  config.hello_block = std::vector<uint8_t>{0x00, 0x00, 0x45, 0x03};  // word0 and build only
  StartTarget(config);
  auto r = Run({"-p", "RX5120", "-cmd", "version"});
  EXPECT_EQ(r.out, kBanner + "Product: SW Version 00.00.0345\n\n" + kRule + "\n");
  EXPECT_EQ(r.exit_status, 0);
}

TEST_F(LinkTest, OneRequestCommandsSendExactlyTheirFrame) {
  struct Case {
    const char* command;
    std::vector<uint8_t> frame;
  };
  const Case cases[] = {
      {"reboot", {0xDA, 0xDA, 0xDA, 0xDA, 0x08, 0x00, 0x00, 0x00, 0x1C, 0x00, 0x00, 0x00}},
      {"power_off", {0xDA, 0xDA, 0xDA, 0xDA, 0x08, 0x00, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00}},
      {"fact_reset",
       {0xDA, 0xDA, 0xDA, 0xDA, 0x0F, 0x00, 0x00, 0x00, 0x0C, 0x00, 0x07, 0x00, 0x0E, 0x05, 0x0C, 0x00, 0x00, 0x00,
        0x00}},
  };
  StartTarget();
  std::vector<uint8_t> expected;
  size_t frames = 0;
  for (const auto& c : cases) {
    auto r = Run({"-p", "RX5120", "-cmd", c.command});
    EXPECT_EQ(r.out, kBanner) << c.command;
    EXPECT_EQ(r.exit_status, 0) << c.command;
    expected = Concat({expected, kHelloFrame, kResetCommFrame, c.frame});
    frames += 3;
    ASSERT_TRUE(target_->WaitForFrames(frames, std::chrono::seconds(5))) << c.command;
    // The request is on the wire before the tool has gone: closing drains, it never discards.
    EXPECT_EQ(target_->ReceivedBytes(), expected) << c.command;
  }
  EXPECT_EQ(target_->ResetCount(), 1);
  EXPECT_EQ(target_->PowerOffCount(), 1);
  EXPECT_EQ(target_->FactoryResetCount(), 1);
}

TEST_F(LinkTest, NoiseAndSplitAnswersAreReassembled) {
  StartTarget();
  sim::Fault noisy;
  noisy.noise = {0x01, 0xDA, 0xDA, 0xDA, 0x00, 0xDA, 0xDA, 0xDA, 0xDA, 0x02, 0x00};  // a false start and a too-short length
  noisy.split = true;
  target_->SetFault(0xFF01, noisy);
  auto r = Run({"-p", "RX5120", "-cmd", "version"});
  EXPECT_EQ(r.out, kBanner + kVersion0102);
  EXPECT_EQ(r.exit_status, 0);
}

TEST_F(LinkTest, WorksAtTheRealLineRate) {
  sim::Config config;
  config.paced = true;
  StartTarget(config);
  auto r = Run({"-p", "RX5120", "-cmd", "fact_reset"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_TRUE(target_->WaitForEvent(0x000C, std::chrono::seconds(5)));
  EXPECT_EQ(target_->FactoryResetCount(), 1);
}

TEST_F(LinkTest, SilentTargetFailsAfterTheHelloWaitAndABusyPortAtOnce) {
  sim::Config config;
  config.answer_hello = false;
  StartTarget(config);
  platform::SpawnResult first, second;
  std::thread holder([&] { first = Run({"-p", "RX5120", "-cmd", "version"}); });
  ASSERT_TRUE(target_->WaitForEvent(0xFF01, std::chrono::seconds(10)));
  auto start = std::chrono::steady_clock::now();
  second = Run({"-p", "RX5120", "-cmd", "reboot"});  // the port is held by the first run
  auto busy_time = std::chrono::steady_clock::now() - start;
  holder.join();

  EXPECT_EQ(first.out, kBanner + kInitFailed + kConnectivityFailed);
  EXPECT_NE(first.exit_status, 0);
  EXPECT_FALSE(first.timed_out);
  EXPECT_EQ(second.out, kBanner + kInitFailed + kConnectivityFailed);
  EXPECT_NE(second.exit_status, 0);
  EXPECT_LT(busy_time, std::chrono::seconds(3));
  // Only the first run got through to the line, and it sent nothing after the unanswered hello.
  EXPECT_EQ(target_->ReceivedBytes(), kHelloFrame);
}

TEST_F(LinkTest, MissingDeviceNodeFailsAtOnce) {
  StartTarget();
  extra_env_.push_back({"HALVERN_DEV_ROOT", (dir_.path() / "empty").string()});
  auto r = Run({"-p", "RX5120", "-cmd", "version"});
  EXPECT_EQ(r.out, kBanner + kInitFailed + kConnectivityFailed);
  EXPECT_EQ(r.exit_status, 1);
}

TEST_F(LinkTest, CommandLineErrorsBeforeAnyDeviceIsTouched) {
  struct Case {
    std::vector<std::string> args;
    std::string out;
    int status;
  };
  const Case cases[] = {
      {{}, kBanner + kUsage, 255},
      {{"-h"}, kBanner + kUsage, 0},
      {{"-p", "RX5120", "-cmd", "version", "-fw"}, kBanner + kUsage, 255},
      {{"-cmd", "version"}, kBanner + "[ERROR]\tProduct is unknown\n\n" + kRule + "\n", 255},
      {{"-p", "RX51", "-cmd", "version"}, kBanner + "[ERROR]\tProduct is unknown\n\n" + kRule + "\n", 255},
      {{"-cmd", "bogus", "-p"}, kBanner + "[ERROR]\tProduct is unknown\n\n" + kRule + "\n", 255},
      {{"-p", "RX5120", "-cmd", "pill_upd", "-pill", "x"}, kBanner + "\nPILL language mandatory!\n" + kUsage, 255},
      {{"-p", "RX5120", "-cmd", "pill_upd", "-lang", "256"}, kBanner + "\nPILL file name missing!\n" + kUsage, 255},
      {{"-cmd", "date2pill", "-lang", "255", "-pill", "x"}, kBanner + "\nPILL language mandatory!\n" + kUsage, 255},
  };
  StartTarget();
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    auto r = Run(args);
    EXPECT_EQ(r.out, c.out) << ::testing::PrintToString(c.args);
    EXPECT_EQ(r.exit_status, c.status) << ::testing::PrintToString(c.args);
  }
  EXPECT_TRUE(target_->ReceivedBytes().empty());
}

TEST_F(LinkTest, ProductNotPluggedIn) {
  StartTarget();
  extra_env_.push_back({"HALVERN_SYSFS_ROOT", (dir_.path() / "empty").string()});
  auto r = Run({"-p", "RX5120", "-cmd", "version"});
  EXPECT_EQ(r.out, kBanner + "[ERROR]Product is not plugged in PC\n");
  EXPECT_EQ(r.exit_status, 255);
}

TEST_F(LinkTest, UnknownCommandsAndUpdateWithoutFirmware) {
  StartTarget();
  for (const char* command : {"msg_log", "bogus", "param"}) {
    auto r = Run({"-p", "RX5120", "-cmd", command});
    EXPECT_EQ(r.out, kBanner + "[ERROR] Unknown command!\n") << command;
    EXPECT_EQ(r.exit_status, 1) << command;
  }
  auto r = Run({"-p", "RX5120", "-cmd", "update"});
  EXPECT_EQ(r.out, kBanner + kVersion0102 + "\n" + kRule + "\n" + "\nFW file not defined\n" + "\n" + kRule + "\n");
  EXPECT_EQ(r.exit_status, 1);
}

TEST_F(LinkTest, StandaloneSimulatorRunsACommandAgainstItself) {
  TempDir tree;
  auto r = platform::SpawnCapture({RX5120_SIM_EXE, "--build", "0x0777", tree.path().string(), "--", HALVERN_EXE, "-p",
                                   "RX5120", "-cmd", "version"},
                                  {}, "", 30000);
  EXPECT_EQ(r.out, kBanner + "Product: SW Version 01.02.0777\n\n" + kRule + "\n");
  EXPECT_EQ(r.exit_status, 0);
}

}  // namespace
}  // namespace e2e
