// The log console as a user runs it against the simulated target: header, level requests on
// the wire, the target's log lines with their time, the overview block and the log file.
#include <chrono>
#include <cstdio>

#include "platform/file_io.h"
#include "tests/e2e_console.h"

namespace e2e {
namespace {

using Bytes = std::vector<uint8_t>;

const std::string kHelp =
    "USAGE:\n------------------\nh\t=>\t help\nx\t=>\t sys overview\nt\t=>\t set loglevel\n\nq\t=>\t quit\n";
const std::string kAsk = "\nEnter level error/warn/info/off [e/w/i/o]: ";

std::string Header(bool in_file) {
  return "Product: SW Version 01.02.0345\n\nTrace  : <ctime>\n\nTrace  : 'q' => quit\n\nTrace  : 'h' => help\n" +
         std::string(in_file ? "Trace  : in File \n" : "") + "\n" + kRule + "\n";
}

std::string Overview(const uint32_t c[8]) {
  const char* names[] = {"Unlock              ", "Handover            ", "LinkError           ",
                         "Relay requests      ", "FPHandover          ", "FPLinkError         ",
                         "ExternalHandover    ", "Relayed connections "};
  std::string s;
  for (int i = 0; i < 8; ++i) s += names[i] + std::to_string(static_cast<int>(c[i])) + "\n";
  return s;
}

class LogTest : public ConsoleTest {
 protected:
  std::vector<Bytes> LevelRequests() const {
    std::vector<Bytes> blocks;
    for (const auto& f : target_->Received())
      if (f.event_id == 0x3006) blocks.push_back(f.params);
    return blocks;
  }
};

TEST_F(LogTest, ShowsAndRecordsLogLinesSetsLevelsAndShowsTheOverview) {
  StartTarget();
  const uint32_t counters[8] = {1, 2, 3, 4, 5, 6, 7, 0xFFFFFFFF};
  target_->SetSysOverview(counters);
  const auto log = work_ / "target.log";
  StartTool({"-p", "RX5120", "-cmd", "log", "-llevel", "3", "-lfile", log.string()});
  WaitForOutput("Trace  : in File \n\n" + kRule + "\n");
  ASSERT_TRUE(target_->WaitForEvent(0x3006, std::chrono::seconds(5)));
  EXPECT_EQ(target_->LogLevel(), 3);

  // Once an overview is shown the console runs with its callback in place.
  const std::string overview = Overview(counters);
  Keys("x");
  WaitForOutput(overview);
  target_->PushLogLine(1, "link up\n");
  target_->PushLogLine(2, std::string(150, 'z') + "\n");  // longer than a log record holds
  target_->PushFrame(0x3006, {0x11, 0x01, 0x00});         // not a log line: nothing shown
  Keys("XTx");                                            // upper case does nothing
  WaitForOutput(overview, 2);
  Keys("ti");
  ASSERT_TRUE(target_->WaitForFrames(6, std::chrono::seconds(5)));
  Keys("tZ");
  WaitForOutput("(Z)\n");
  Keys("hq");
  EXPECT_EQ(Finish(), 0);

  const std::string lines = "<hh:mm:ss> link up\n<hh:mm:ss> " + std::string(127, 'z');
  EXPECT_EQ(MaskTimes(tool_->Out()), kBanner + Header(true) + overview + lines + overview + kAsk + "\n" + kAsk +
                                         "\nmain_log 100: [ERROR]: Invalid level selected (Z)\n" + kHelp);
  EXPECT_EQ(MaskTimes(ReadFile(log)),
            "Product: SW Version 01.02.0345\n\nTrace  : <ctime>\n\n\n" + kRule + "\n" + lines);
  EXPECT_EQ(ReceivedEvents(), (std::vector<uint16_t>{0xFF01, 0xFF05, 0x3006, 0x3004, 0x3004, 0x3006}));
  EXPECT_EQ(LevelRequests(), (std::vector<Bytes>{{0x37, 0x01, 0x03}, {0x37, 0x01, 0x02}}));
  EXPECT_EQ(target_->LogLevel(), 2);
}

TEST_F(LogTest, LogFileOfAnotherRunIsLeftWholeAndADeviceServesAsLogFile) {
  StartTarget();
  const auto log = work_ / "target.log";
  std::FILE* other = platform::CreateHeldTextFile(log.string(), nullptr);  // another run's log
  ASSERT_NE(other, nullptr);
  std::fputs("another run\n", other);
  std::fflush(other);
  auto r = Run({"-p", "RX5120", "-cmd", "log", "-llevel", "1", "-lfile", log.string()}, "q");
  EXPECT_EQ(MaskTimes(r.out), kBanner + Header(false));
  EXPECT_EQ(r.err.rfind("halvern: cannot create '" + log.string() + "': ", 0), 0u) << r.err;
  EXPECT_EQ(r.exit_status, 1);
  std::fclose(other);
  EXPECT_EQ(ReadFile(log), "another run\n");

  r = Run({"-p", "RX5120", "-cmd", "log", "-llevel", "1", "-lfile", "/dev/null"}, "q");
  EXPECT_EQ(MaskTimes(r.out), kBanner + Header(true));
  EXPECT_EQ(r.exit_status, 0);
}

// A log file that cannot take the lines (a full device) is reported when the console ends, and
// the run fails as with a log file that cannot be created.
TEST_F(LogTest, LogFileThatLosesLinesFailsTheRun) {
  StartTarget();
  auto r = Run({"-p", "RX5120", "-cmd", "log", "-llevel", "1", "-lfile", "/dev/full"}, "q");
  EXPECT_EQ(MaskTimes(r.out), kBanner + Header(true));
  EXPECT_EQ(r.err, "halvern: cannot write '/dev/full': No space left on device\n");
  EXPECT_EQ(r.exit_status, 1);
}

TEST_F(LogTest, WithoutLevelNothingIsSentAndWithoutFileNothingIsWritten) {
  StartTarget();
  auto r = Run({"-p", "RX5120", "-cmd", "log"}, "hq");
  EXPECT_EQ(MaskTimes(r.out),
            kBanner + Header(false) +
                "main_log 78: [WARNING]: Nothing configured on target->Invalid logging level (4294967295)\n" + kHelp);
  EXPECT_EQ(r.exit_status, 0);
  ASSERT_TRUE(target_->WaitForFrames(2, std::chrono::seconds(5)));

  // A log file that cannot be created: the console runs without it, and the run reports failure.
  const std::string no_log = (work_ / "no" / "such.log").string();
  r = Run({"-p", "RX5120", "-cmd", "log", "-llevel", "7", "-lfile", no_log}, "");
  EXPECT_EQ(r.err, "halvern: cannot create '" + no_log + "': No such file or directory\n");
  EXPECT_EQ(MaskTimes(r.out), kBanner + Header(false) +
                                  "main_log 78: [WARNING]: Nothing configured on target->Invalid logging level (7)\n");
  EXPECT_EQ(r.exit_status, 1);
  ASSERT_TRUE(target_->WaitForFrames(4, std::chrono::seconds(5)));
  EXPECT_EQ(ReceivedEvents(), (std::vector<uint16_t>{0xFF01, 0xFF05, 0xFF01, 0xFF05}));

  extra_env_.push_back({"HALVERN_DEV_ROOT", (dir_.path() / "empty").string()});
  r = Run({"-p", "RX5120", "-cmd", "log", "-llevel", "2"}, "q");
  EXPECT_EQ(r.out, kBanner +
                       "[ERROR] Couldn't initialize application.\nPlease check if target is connected and running!\n"
                       "[ERROR] Can not connect to COM1\n");
  EXPECT_EQ(r.exit_status, 1);
}

}  // namespace
}  // namespace e2e
