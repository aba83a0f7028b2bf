// Stop requests in a run on one repeater: Ctrl-C, SIGTERM and a hang-up end a command after a
// whole frame with its message, and quit a console as its quit key does.
#include <signal.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e_console.h"

namespace e2e {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr char kStopped[] = "\n[ERROR] Stopped on request\n";
constexpr uint16_t kHello = 0xFF01;
constexpr uint16_t kLoggerConfig = 0x3801;

std::string Repeat(const std::string& line, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += line;
  return text;
}

class StopTest : public ConsoleTest {
 protected:
  // The arguments of each command, its files laid out in the working directory.
  std::vector<std::string> Args(const std::string& command) {
    std::vector<std::string> args = {"-p", "RX5120", "-cmd", command};
    if (command == "update") args.insert(args.end(), {"-fw", WriteFile("fw.bin", std::string(100000, 'F')).string()});
    if (command == "pill_upd")
      args.insert(args.end(), {"-pill", WriteFile("pill.bin", std::string(100000, 'P')).string(), "-lang", "7"});
    if (command == "param_get")
      args.insert(args.end(), {"-settings", WriteFile("get.txt", Repeat("0x0000:a:128\n", 1000)).string()});
    if (command == "param_set")
      args.insert(args.end(), {"-settings", WriteFile("set.txt", Repeat("0x0000:a:" + std::string(256, 'A') + ";\n", 1000)).string()});
    if (command == "tracer") args.insert(args.end(), {"-tfile", WriteFile("logger.cfg", "m,u\n").string()});
    return args;
  }
  // Every byte the target took in belongs to a whole frame.
  void ExpectWholeFrames() {
    std::this_thread::sleep_for(300ms);  // paced: the last bytes may still be crossing the line
    size_t framed = 0;
    for (const auto& frame : target_->Received()) framed += frame.wire.size();
    EXPECT_EQ(framed, target_->ReceivedBytes().size());
  }
};

TEST_F(StopTest, ACommandStopsAfterAWholeFrameWithItsMessage) {
  const struct {
    const char* command;
    int signal;
    const char* failed;  // the command's own line after the stop
  } cases[] = {
      {"update", SIGINT, "FW Update was not successfully finished!"},
      {"pill_upd", SIGTERM, "PILL Update could not be started!"},
      {"param_get", SIGHUP, "=========="},
      {"param_set", SIGINT, "=========="},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    sim::Config paced;
    paced.paced = true;
    paced.pace_host_bytes = true;
    StartTarget(paced);
    StartTool(Args(c.command));
    ASSERT_TRUE(target_->WaitForFrames(12, 20s));
    ::kill(tool_->Pid(), c.signal);
    const auto asked = Clock::now();
    EXPECT_EQ(tool_->Wait(10000), 1) << tool_->Out();
    EXPECT_LT(Clock::now() - asked, 3s);
    EXPECT_NE(tool_->Out().find(kStopped), std::string::npos) << tool_->Out();
    EXPECT_NE(tool_->Out().find(c.failed, tool_->Out().find(kStopped)), std::string::npos) << tool_->Out();
    EXPECT_LT(target_->Received().size(), 100u) << "the command ran on";
    EXPECT_FALSE(target_->FirmwareEnded() || target_->PillEnded());
    ExpectWholeFrames();
  }
}

TEST_F(StopTest, AStopBeforeTheLinkIsUpSendsNothing) {
  for (const char* command : {"update", "pill_upd", "param_get", "param_set", "version", "reboot", "params", "tracer"}) {
    SCOPED_TRACE(command);
    StartTarget();
    sim::Fault slow;
    slow.delay_ms = 1000;
    target_->SetFault(kHello, slow);
    StartTool(Args(command));
    ASSERT_TRUE(target_->WaitForFrames(1, 10s));
    tool_->Interrupt();
    EXPECT_EQ(tool_->Wait(10000), 1) << tool_->Out();
    // The stop is the one reason given: no failure to connect follows.
    EXPECT_TRUE(tool_->Out().ends_with(kStopped)) << tool_->Out();
    EXPECT_EQ(tool_->Out().find("[ERROR]"), tool_->Out().find(kStopped) + 1) << tool_->Out();
    // Nothing but the link's own start-up went out.
    for (uint16_t id : ReceivedEvents()) EXPECT_EQ(id >> 8, 0xFF) << id;
  }
}

TEST_F(StopTest, AConsoleQuitsOnAStopAsOnItsQuitKey) {
  const struct {
    const char* command;
    const char* ready;  // shown once the console waits for a key
  } cases[] = {
      {"params", "Action get/set/quit[g/s/q]: "},
      {"log", "Trace  : 'q' => quit\n"},
      {"tracer", "q\t=>\t quit\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    StartTarget();
    StartTool(Args(c.command));
    WaitForOutput(c.ready);
    tool_->Interrupt();  // standard input stays open: only the stop can end the console
    EXPECT_EQ(tool_->Wait(10000), 0) << tool_->Out();
    EXPECT_EQ(tool_->Out().find("[ERROR]"), std::string::npos) << tool_->Out();
  }
  // The tracer switched the logger off as on "q": hello, reset, logger on, logger off.
  ASSERT_TRUE(target_->WaitForFrames(4, 5s));
  std::vector<std::vector<uint8_t>> configs;
  for (const auto& f : target_->Received())
    if (f.event_id == kLoggerConfig) configs.push_back(f.params);
  ASSERT_EQ(configs.size(), 2u);
  EXPECT_EQ(configs[1], (std::vector<uint8_t>{0x3E, 0x01, 0x00, 0x4A, 0x02, 0xFF, 0xFF}));
}

}  // namespace
}  // namespace e2e
