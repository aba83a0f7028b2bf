// A repeater that goes away under a running command (unplugged, reset, the other side of the
// line closed): the tool says so once, ends by itself at once with its usual failure, keeps
// everything that arrived before, and never spins while it ends.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e_console.h"
#include "tests/e2e_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using e2e::Concat;

const std::string kGone = "\n[ERROR] The repeater was disconnected\n";

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}


Bytes TraceInd(uint8_t mid, const Bytes& data) {
  return e2e::TraceInd(2, 1, mid, 0x00, 0x00, data);
}

std::string Unscramble(std::string text) {
  for (size_t k = 0; k < text.size(); ++k) text[k] = char(text[k] ^ "Q&Z"[k % 3]);
  return text;
}

class LineGoneTest : public e2e::ConsoleTest {
 protected:
  // Waits for the tool to end by itself, its standard input still open.
  int WaitForEnd() {
    const int status = tool_->Wait(e2e::kConsoleWaitMs);
    EXPECT_FALSE(tool_->TimedOut()) << "the tool did not end by itself:\n" << tool_->Out();
    return status;
  }
  std::filesystem::path OnlyFile(const std::string& prefix) const {
    std::vector<std::filesystem::path> found;
    for (const auto& e : std::filesystem::directory_iterator(work_))
      if (e.path().filename().string().rfind(prefix, 0) == 0) found.push_back(e.path());
    EXPECT_EQ(found.size(), 1u);
    return found.empty() ? std::filesystem::path() : found[0];
  }
};

TEST_F(LineGoneTest, TracerEndsByItselfWithEveryRecordThatCameBefore) {
  StartTarget();
  const auto config = WriteFile("logger.cfg", "a\n");
  StartTool({"-p", "RX5120", "-cmd", "tracer", "-tfile", config.string()});
  WaitForOutput("q\t=>\t quit");
  ASSERT_TRUE(target_->WaitForEvent(0x3801, std::chrono::seconds(5)));
  const auto start = Clock::now();
  // Everything the tool has taken in before the hang-up stays in the file. (What the system still
  // held unread when the line hung up is thrown away by the system itself.)
  constexpr int kEvents = 40;
  for (int i = 0; i < kEvents; ++i) target_->PushTraceIndication(TraceInd(uint8_t(i), Bytes(20, uint8_t(i))));
  const auto file = OnlyFile("cmbs_dect_tracer-");
  for (int i = 0; i < 1000 && Count(Unscramble(ReadFile(file)), "BEGIN") < size_t{kEvents}; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  target_->HangUp();
  EXPECT_EQ(WaitForEnd(), 1);
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_EQ(Count(tool_->Out(), kGone), 1u) << tool_->Out();
  EXPECT_LT(tool_->CpuSeconds(), 0.5 + wall / 2);

  const std::string text = Unscramble(ReadFile(file));
  EXPECT_EQ(Count(text, "BEGIN"), size_t{kEvents});
  EXPECT_EQ(Count(text, "END\r\n\r\n"), size_t{kEvents});
  // No logger-off request was attempted on the dead line, and none reached the target before.
  for (const auto& f : target_->Received()) EXPECT_NE(f.params, (Bytes{0x3E, 0x01, 0x00, 0x4A, 0x02, 0x00, 0x00}));
}

TEST_F(LineGoneTest, LogConsoleEndsByItselfAndKeepsItsFile) {
  StartTarget();
  const auto log = work_ / "target.log";
  StartTool({"-p", "RX5120", "-cmd", "log", "-llevel", "2", "-lfile", log.string()});
  Keys("h");  // answered from the console loop: log lines are taken from then on
  WaitForOutput("q\t=>\t quit\n");
  target_->PushLogLine(2, "before the unplug\n");
  WaitForOutput("before the unplug\n");
  // The user is at the level prompt when the line goes.
  Keys("t");
  WaitForOutput("Enter level error/warn/info/off [e/w/i/o]: ");
  const size_t frames = target_->Received().size();
  target_->HangUp();
  EXPECT_EQ(WaitForEnd(), 1);
  EXPECT_EQ(Count(tool_->Out(), kGone), 1u) << tool_->Out();
  EXPECT_NE(ReadFile(log).find("before the unplug\n"), std::string::npos);
  EXPECT_EQ(target_->Received().size(), frames);
}

TEST_F(LineGoneTest, UpdateFailsAtOnceInsteadOfWaitingForAnAnswer) {
  StartTarget();
  Bytes image(40 * 256);
  for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i * 7);
  const auto fw = WriteFile("fw.bin", std::string(image.begin(), image.end()));
  sim::Fault unplug;
  unplug.hang_up = true;
  unplug.after = 5;
  target_->SetFault(0x0010, unplug);
  extra_env_.push_back({"HALVERN_WAIT_MS", "60000"});
  const auto start = Clock::now();
  StartTool({"-p", "RX5120", "-cmd", "update", "-fw", fw.string()});
  EXPECT_EQ(WaitForEnd(), 1);
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  const std::string& out = tool_->Out();
  EXPECT_EQ(Count(out, kGone), 1u) << out;
  EXPECT_NE(out.find(kGone + "\n[ERROR]\tFW Update was not successfully finished!\n\n" + e2e::kRule + "\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("successfully finished\n\n" + e2e::kRule), std::string::npos);
  EXPECT_LT(tool_->CpuSeconds(), 0.5 + wall / 2);
}

TEST_F(LineGoneTest, PillTransferFailsAtOnce) {
  StartTarget();
  const auto pill = WriteFile("lang.pill", std::string(3000, 'p'));
  sim::Fault unplug;
  unplug.hang_up = true;
  unplug.after = 2;
  target_->SetFault(0x3097, unplug);
  extra_env_.push_back({"HALVERN_WAIT_MS", "60000"});
  StartTool({"-p", "RX5120", "-cmd", "pill_upd", "-pill", pill.string(), "-lang", "1"});
  EXPECT_EQ(WaitForEnd(), 1);
  EXPECT_EQ(Count(tool_->Out(), kGone), 1u) << tool_->Out();
  EXPECT_NE(tool_->Out().find("\n[ERROR]\tPILL Update could not be started!\n"), std::string::npos);
}

TEST_F(LineGoneTest, LinkStartUpFailsAtOnceWhenTheTargetHangsUpAtTheHello) {
  StartTarget();
  sim::Fault unplug;
  unplug.hang_up = true;
  target_->SetFault(0xFF01, unplug);
  const auto start = Clock::now();
  StartTool({"-p", "RX5120", "-cmd", "reboot"});
  const int status = WaitForEnd();
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_NE(status, 0);
  EXPECT_NE(tool_->Out().find("[ERROR] Couldn't initialize application.\n"), std::string::npos) << tool_->Out();
  // The hello wait is 5 s; a line that is gone ends it.
  EXPECT_LT(wall, 4.0);
  EXPECT_LT(tool_->CpuSeconds(), 0.5 + wall / 2);
}

// reboot, power_off and fact_reset: a request that never left fails the command; a target that
// took it and then dropped its line (as one that restarts or switches off does) is success,
// with nothing printed.
TEST_F(LineGoneTest, OneRequestCommandsFailOnlyWhenTheRequestNeverLeft) {
  const struct {
    const char* command;
    uint16_t request;
  } commands[] = {{"reboot", 0x001C}, {"power_off", 0x4000}, {"fact_reset", 0x000C}};
  for (const auto& c : commands) {
    for (const bool taken : {false, true}) {
      SCOPED_TRACE(std::string(c.command) + (taken ? ", taken" : ", never left"));
      target_.reset();
      StartTarget();
      sim::Fault fault;
      if (taken) {
        fault.hang_up = true;  // instead of an answer
        target_->SetFault(c.request, fault);
      } else {
        fault.stall_ms = 300;  // the link comes up, then the line stops taking bytes and goes
        target_->SetFault(0xFF01, fault);
      }
      auto r = Run({"-p", "RX5120", "-cmd", c.command});
      EXPECT_EQ(r.out, e2e::kBanner + (taken ? "" : kGone));
      EXPECT_EQ(r.exit_status, taken ? 0 : 1);
      EXPECT_EQ(target_->WaitForEvent(c.request, std::chrono::milliseconds(taken ? 5000 : 0)), taken);
    }
  }
}

TEST_F(LineGoneTest, ParameterBatchStopsAtOnceAndKeepsWhatWasRead) {
  StartTarget();
  target_->SetParamArea(0x10, {0x7F, 0x55, 0x66});
  sim::Fault unplug;
  unplug.hang_up = true;
  unplug.after = 1;
  target_->SetFault(0x0033, unplug);  // the second read never gets its answer
  extra_env_.push_back({"HALVERN_WAIT_MS", "60000"});
  const auto settings = WriteFile("params.txt", "0x10:b:0\n0x11:b:0\n0x12:b:0\n");
  StartTool({"-p", "RX5120", "-cmd", "param_get", "-settings", settings.string()});
  EXPECT_EQ(WaitForEnd(), 1);
  const std::string& out = tool_->Out();
  EXPECT_EQ(Count(out, kGone), 1u) << out;
  EXPECT_EQ(Count(out, "adr "), 2u) << out;  // the third line is not even tried
  EXPECT_NE(out.find("adr   17, len  1" + kGone + "\nError\n"), std::string::npos) << out;
  EXPECT_EQ(ReadFile(work_ / "params_01_02_0345.out"), "0x10:b:7F\n");
}

TEST_F(LineGoneTest, ParameterConsoleEndsByItselfAtItsPrompt) {
  StartTarget();
  StartTool({"-p", "RX5120", "-cmd", "params"});
  WaitForOutput("Action get/set/quit[g/s/q]: ");
  target_->HangUp();
  EXPECT_EQ(WaitForEnd(), 1);
  EXPECT_EQ(Count(tool_->Out(), kGone), 1u) << tool_->Out();
  EXPECT_EQ(Count(tool_->Out(), "Action get/set/quit[g/s/q]: "), 1u);
}

}  // namespace
