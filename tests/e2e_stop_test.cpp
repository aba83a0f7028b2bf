// Stop requests in a run on one repeater: Ctrl-C, SIGTERM and a hang-up end a command after a
// whole frame with its message, and quit a console as its quit key does.
#include <signal.h>

#include <chrono>
#include <thread>

#include "tests/e2e_console.h"

namespace e2e {
namespace {

using namespace std::chrono_literals;

constexpr char kStopped[] = "\n[ERROR] Stopped on request\n";

class StopTest : public ConsoleTest {
 protected:
  // The arguments of each command, with files that keep it busy for seconds on a paced line.
  std::vector<std::string> Args(const std::string& command) {
    std::string get, set;
    for (int i = 0; i < 1000; ++i) get += "0x0000:a:128\n", set += "0x0000:a:" + std::string(240, 'A') + ";\n";
    std::vector<std::string> args = {"-p", "RX5120", "-cmd", command, "-lang", "7", "-tfile",
                                     WriteFile("logger.cfg", "m,u\n").string(),
                                     "-fw", WriteFile("fw.bin", std::string(100000, 'F')).string(),
                                     "-pill", WriteFile("pill.bin", std::string(100000, 'P')).string(),
                                     "-settings", WriteFile("s.txt", command == "param_get" ? get : set).string()};
    return args;
  }
};

TEST_F(StopTest, ACommandStopsAfterAWholeFrameWithItsMessage) {
  const struct {
    const char* command;
    int signal;
    bool before_link;  // the stop comes while the target has not yet answered the hello
  } cases[] = {{"update", SIGINT, false},    {"pill_upd", SIGTERM, false}, {"param_get", SIGHUP, false},
               {"param_set", SIGINT, false}, {"update", SIGINT, true},     {"pill_upd", SIGHUP, true},
               {"param_set", SIGTERM, true}, {"reboot", SIGINT, true},     {"params", SIGINT, true},
               {"tracer", SIGINT, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.command) + (c.before_link ? " before the link is up" : ""));
    sim::Config paced;
    paced.paced = paced.pace_host_bytes = true;
    StartTarget(paced);
    sim::Fault slow;
    slow.delay_ms = 1000;
    if (c.before_link) target_->SetFault(0xFF01, slow);
    StartTool(Args(c.command));
    ASSERT_TRUE(target_->WaitForFrames(c.before_link ? 1 : 12, 20s));
    ::kill(tool_->Pid(), c.signal);
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(tool_->Wait(10000), 1) << tool_->Out() << tool_->Err();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 3s);
    const std::string& out = tool_->Out();
    EXPECT_NE(out.find(kStopped), std::string::npos) << out;
    if (c.before_link) {
      // Nothing but the link's own start-up went out, and the stop is the one reason given.
      for (uint16_t id : ReceivedEvents()) EXPECT_EQ(id >> 8, 0xFF) << id;
      EXPECT_TRUE(out.ends_with(kStopped)) << out;
      EXPECT_EQ(out.find("[ERROR]"), out.find(kStopped) + 1) << out;
      continue;
    }
    EXPECT_LT(target_->Received().size(), 100u) << "the command ran on";
    EXPECT_FALSE(target_->FirmwareEnded() || target_->PillEnded());
    std::this_thread::sleep_for(300ms);  // paced: the last bytes may still be crossing the line
    size_t framed = 0;
    for (const auto& frame : target_->Received()) framed += frame.wire.size();
    EXPECT_EQ(framed, target_->ReceivedBytes().size());
  }
}

TEST_F(StopTest, AConsoleQuitsOnAStopAsOnItsQuitKey) {
  const std::pair<const char*, const char*> cases[] = {
      {"params", "Action get/set/quit[g/s/q]: "}, {"log", "Trace  : 'q' => quit\n"}, {"tracer", "q\t=>\t quit\n"}};
  for (const auto& [command, ready] : cases) {
    SCOPED_TRACE(command);
    StartTarget();
    StartTool(Args(command));
    WaitForOutput(ready);
    tool_->Interrupt();  // standard input stays open: only the stop can end the console
    EXPECT_EQ(tool_->Wait(10000), 0) << tool_->Out();
    EXPECT_EQ(tool_->Out().find("[ERROR]"), std::string::npos) << tool_->Out();
  }
  // The tracer switched the logger off as on "q": hello, reset, logger on, logger off.
  ASSERT_TRUE(target_->WaitForFrames(4, 5s));
  EXPECT_EQ(target_->Received()[3].params, (std::vector<uint8_t>{0x3E, 0x01, 0x00, 0x4A, 0x02, 0xFF, 0xFF}));
}

}  // namespace
}  // namespace e2e
