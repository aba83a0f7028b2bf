// A station's output and its stops as a user meets them: the watch run into `| tee` that dies
// with Ctrl-C, a terminal closed under it, and the live lines on a terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "e2e_support.h"
#include "platform/pty.h"
#include "tests/piped_tool.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Simulated repeaters on a paced line in one tree, unplugged until a test plugs them in.
class StationStopTest : public ::testing::Test {
 protected:
  ~StationStopTest() override {
    tool_.reset();
    while (!targets_.empty()) targets_.pop_back();  // the last laid out goes first
  }

  sim::Target& Add(const std::string& serial) {
    sim::Config config;
    config.usb_serial = serial;
    config.paced = config.pace_host_bytes = true;
    auto target = std::make_unique<sim::Target>(config);
    EXPECT_TRUE(target->Start()) << target->LastError();
    EXPECT_TRUE(target->LayOutTree(Path("tree"), static_cast<uint8_t>(targets_.size() + 1))) << target->LastError();
    targets_.push_back(std::move(target));
    return *targets_.back();
  }

  // At the real line rate the image takes a few seconds: a stop comes while it is sent.
  std::string Image() {
    std::ofstream(Path("fw.bin"), std::ios::binary) << std::string(32 * 1024, 'F');
    return Path("fw.bin");
  }
  std::vector<std::pair<std::string, std::string>> Env() const {
    return {{"HALVERN_SYSFS_ROOT", Path("tree/sys")}, {"HALVERN_DEV_ROOT", Path("tree/dev")}, {"HALVERN_WAIT_MS", "6000"}};
  }
  std::string Path(const std::string& name) const { return (dir_.path() / name).string(); }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static int Count(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
  }

  e2e::TempDir dir_;
  std::vector<std::unique_ptr<sim::Target>> targets_;
  std::unique_ptr<e2e::PipedTool> tool_;
};

constexpr char kWaiting[] = "Stop requested: no new repeaters; waiting for the 1 still working";
constexpr char kStopping[] = "Stopping the 1 repeaters still working";
constexpr char kGone[] = "halvern: standard output is gone: no new repeaters; waiting for the 1 still working";

// One action of the user is one stop: the output going away with a signal, or a terminal closed,
// never cuts a flash; only a second deliberate signal does.
TEST_F(StationStopTest, TheOutputGoingAwayWithAStopNeverCutsAFlash) {
  enum Step { kReaderGone, kInt, kHup };
  const struct {
    const char* what;
    bool terminal;  // standard output is a terminal whose master closes (else a pipe whose reader goes)
    std::vector<Step> steps;
    bool cut;  // the second signal stops the flash
  } cases[] = {
      {"| tee: Ctrl-C, then the reader dies", false, {kInt, kReaderGone}, false},
      {"| tee: the reader dies, then Ctrl-C", false, {kReaderGone, kInt}, false},
      {"a terminal closed", true, {kReaderGone, kHup}, false},
      {"SIGHUP twice", false, {kHup, kHup}, false},
      {"a lone SIGHUP", false, {kHup}, false},
      {"Ctrl-C twice", false, {kInt, kInt}, true},
      {"Ctrl-C, the reader dies, Ctrl-C", false, {kInt, kReaderGone, kInt}, true},
  };
  const std::string image = Image();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    tool_.reset();
    while (!targets_.empty()) targets_.pop_back();
    std::filesystem::remove(Path("r.jsonl"));
    sim::Target& working = Add("RX7101");
    sim::Target& newcomer = Add("RX7102");
    newcomer.Unplug();

    int out_fd = -1, reader = -1;
    platform::PtyPair pty;
    if (c.terminal) {
      std::string error;
      ASSERT_TRUE(platform::PtyOpen(&pty, &error)) << error;
      out_fd = pty.slave, reader = pty.master;
    } else {
      int pipe_fds[2];
      ASSERT_EQ(::pipe2(pipe_fds, O_CLOEXEC), 0);
      reader = pipe_fds[0], out_fd = pipe_fds[1];
    }
    tool_ = std::make_unique<e2e::PipedTool>();
    ASSERT_TRUE(tool_->Start({HALVERN_EXE, "-p", "RX5120", "-cmd", "update", "-fw", image, "-watch", "-report",
                              Path("r.jsonl")},
                             Env(), out_fd, reader));
    ::close(out_fd);  // the tool's is the only writing end left
    ASSERT_TRUE(working.WaitForFrames(12, 20s)) << tool_->Out();

    bool reader_gone = false;
    int signals = 0;
    for (Step step : c.steps) {
      if (step == kReaderGone) {
        tool_->CloseReader();
        reader_gone = true;
        // Seen on standard error, which the user still sees, unless a signal had stopped it.
        if (signals == 0) {
          ASSERT_TRUE(tool_->WaitForErr(kGone)) << tool_->Err();
        }
        continue;
      }
      tool_->Signal(step == kInt ? SIGINT : SIGHUP);
      ++signals;
      // Signals of one kind sent before the first was taken would be one: each is seen first.
      if (!reader_gone) {
        ASSERT_TRUE(tool_->WaitForOut(signals == 2 && c.cut ? kStopping : kWaiting)) << tool_->Out();
      }
    }
    // Nobody new is taken once a stop was seen.
    ASSERT_TRUE(newcomer.Plug());

    EXPECT_EQ(tool_->Wait(30000), c.cut ? 1 : 0) << tool_->Out() << tool_->Err();
    EXPECT_EQ(working.FirmwareEnded(), !c.cut);
    EXPECT_NE(Read(Path("r.jsonl")).find(c.cut ? "\"result\":\"interrupted\"" : "\"result\":\"ok\""), std::string::npos)
        << Read(Path("r.jsonl"));
    EXPECT_EQ(Count(Read(Path("r.jsonl")), "\n"), 1) << Read(Path("r.jsonl"));
    EXPECT_TRUE(newcomer.Received().empty());
    if (!reader_gone) {
      EXPECT_EQ(Count(tool_->Out(), kStopping), c.cut ? 1 : 0) << tool_->Out();
      EXPECT_NE(tool_->Out().find(c.cut ? "  interrupted  " : "  ok  "), std::string::npos) << tool_->Out();
    }
    if (c.cut) {
      // Stopped after a whole frame: every byte the target took in belongs to one.
      std::this_thread::sleep_for(300ms);  // paced: the last bytes may still be crossing the line
      size_t framed = 0;
      for (const auto& frame : working.Received()) framed += frame.wire.size();
      EXPECT_EQ(framed, working.ReceivedBytes().size());
    }
  }
}

// The live lines of repeaters being served follow at a pace a terminal can take: every child
// reports each chunk it sends, the lines are redrawn at most 5 times a second.
TEST_F(StationStopTest, LiveLinesAreRedrawnAtMostFiveTimesASecond) {
  for (const char* serial : {"RX7201", "RX7202", "RX7203"}) Add(serial);
  platform::PtyPair pty;
  std::string error;
  ASSERT_TRUE(platform::PtyOpen(&pty, &error)) << error;
  winsize size{};
  size.ws_col = 100;
  size.ws_row = 30;
  ASSERT_EQ(::ioctl(pty.master, TIOCSWINSZ, &size), 0);
  tool_ = std::make_unique<e2e::PipedTool>();
  const Clock::time_point begin = Clock::now();
  ASSERT_TRUE(tool_->Start({HALVERN_EXE, "-p", "RX5120", "-cmd", "update", "-fw", Image(), "-all"}, Env(), pty.slave,
                           pty.master));
  ::close(pty.slave);
  EXPECT_EQ(tool_->Wait(60000), 0) << tool_->Out();
  const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  // Each redraw takes the lines drawn before away first; so does each block of a child that ended.
  const int redraws = Count(tool_->Out(), "\033[J");
  EXPECT_GT(redraws, 3) << tool_->Out();
  EXPECT_LE(redraws, static_cast<int>(5 * seconds) + 3 + 1) << redraws << " in " << seconds << " s";
  EXPECT_NE(tool_->Out().find("KB/s"), std::string::npos);
}

}  // namespace
