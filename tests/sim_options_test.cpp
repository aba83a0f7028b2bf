// The simulated repeater's command line, and what --paced makes of the line.
#include <gtest/gtest.h>

#include <chrono>

#include "platform/pty.h"
#include "sim/sim_options.h"

namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

std::optional<sim::Options> Parse(std::vector<std::string> args, std::string* error = nullptr) {
  std::string ignored;
  return sim::ParseOptions(args, error ? error : &ignored);
}

TEST(SimOptions, PacedKeepsBothDirectionsToTheLineRate) {
  auto paced = Parse({"--paced", "dir"});
  ASSERT_TRUE(paced);
  EXPECT_TRUE(paced->config.paced);
  EXPECT_TRUE(paced->config.pace_host_bytes);

  auto plain = Parse({"dir"});
  ASSERT_TRUE(plain);
  EXPECT_FALSE(plain->config.paced);
  EXPECT_FALSE(plain->config.pace_host_bytes);
}

TEST(SimOptions, ValuesDirectoryAndCommand) {
  auto o = Parse({"--version", "0x0200", "--build", "17", "--silent", "--port", "3", "d", "--", "cmd", "--paced"});
  ASSERT_TRUE(o);
  EXPECT_EQ(o->config.product_version, 0x0200);
  EXPECT_EQ(o->config.build, 17);
  EXPECT_FALSE(o->config.answer_hello);
  EXPECT_FALSE(o->config.paced);  // after "--" it belongs to the command
  EXPECT_EQ(o->port, 3);
  EXPECT_EQ(o->dir, "d");
  EXPECT_EQ(o->command, (std::vector<std::string>{"cmd", "--paced"}));
  EXPECT_TRUE(Parse({"-h"})->help);

  const std::pair<std::vector<std::string>, std::string> wrong[] = {
      {{}, "no directory given"},
      {{"d", "--"}, "no command after --"},
      {{"--port", "0", "d"}, "bad value for --port: 0"},
      {{"--port", "256", "d"}, "bad value for --port: 256"},
      {{"--version", "-1", "d"}, "bad value for --version: -1"},
      {{"d", "--build"}, "--build needs a value"},
      {{"--fast", "d"}, "unknown option --fast"},
      {{"d", "e"}, "unexpected argument e (a command goes after --)"},
      {{"--count", "0", "d"}, "bad value for --count: 0"},
      {{"d", "--count"}, "--count needs a value"},
      {{"--port", "250", "--count", "7", "d"}, "--count 7 from port 250 goes past port 255"},
      {{"--restart-ms", "-5", "d"}, "bad value for --restart-ms: -5"},
      {{"--version-after", "1.3.400", "d"}, "bad value for --version-after: 1.3.400 (write it as 01.03.0400)"},
      {{"d", "--control"}, "--control needs a value"},
      {{"--traffic-rate", "0", "d"}, "bad value for --traffic-rate: 0 (1 to 1000 a second)"},
      {{"--traffic-rate", "1001", "d"}, "bad value for --traffic-rate: 1001 (1 to 1000 a second)"},
      {{"--traffic-kinds", "log,", "d"}, "bad value for --traffic-kinds: log, (log, trace or log,trace)"},
  };
  for (const auto& [args, why] : wrong) {
    std::string error;
    EXPECT_FALSE(Parse(args, &error)) << why;
    EXPECT_EQ(error, why);
  }
}

TEST(SimOptions, RestartsAreOffUnlessAskedFor) {
  auto plain = Parse({"d"});
  ASSERT_TRUE(plain);
  EXPECT_FALSE(plain->config.restart_ms);
  EXPECT_FALSE(plain->config.version_after);
  EXPECT_TRUE(plain->control.empty());
  auto restarts = Parse({"--restarts", "d"});
  ASSERT_TRUE(restarts);
  EXPECT_EQ(restarts->config.restart_ms, 1500);
  auto timed = Parse({"--restart-ms", "200", "--restarts", "--version-after", "0A.0b.0C0d", "--control", "f", "d"});
  ASSERT_TRUE(timed);
  EXPECT_EQ(timed->config.restart_ms, 200);  // --restarts keeps the time given
  EXPECT_EQ(timed->config.version_after, 0x0A0B);
  EXPECT_EQ(timed->config.build_after, 0x0C0D);
  EXPECT_EQ(timed->control, "f");
}

TEST(SimOptions, TrafficIsOffUnlessAskedForAndEachOptionTurnsItOn) {
  struct Row {
    std::vector<std::string> args;
    bool log, trace;
    int rate;
  };
  const Row rows[] = {
      {{"d"}, false, false, 4},
      {{"--traffic", "d"}, true, true, 4},
      {{"--traffic-rate", "20", "d"}, true, true, 20},
      {{"--traffic-kinds", "trace", "--traffic", "d"}, false, true, 4},  // --traffic keeps the kinds
      {{"--traffic-kinds", "log", "--traffic-rate", "1000", "d"}, true, false, 1000},
  };
  for (const Row& row : rows) {
    auto o = Parse(row.args);
    ASSERT_TRUE(o) << row.args[0];
    EXPECT_EQ(o->config.log_traffic, row.log) << row.args[0];
    EXPECT_EQ(o->config.trace_traffic, row.trace) << row.args[0];
    EXPECT_EQ(o->config.traffic_rate, row.rate) << row.args[0];
  }
}

TEST(SimOptions, CountServesNumberedRepeatersOnConsecutivePorts) {
  auto one = Parse({"d"});
  ASSERT_TRUE(one);
  EXPECT_EQ(one->count, 1u);
  EXPECT_FALSE(one->counted);
  auto many = Parse({"--port", "250", "--count", "6", "d"});
  ASSERT_TRUE(many);
  EXPECT_EQ(many->count, 6u);
  EXPECT_TRUE(many->counted);
  EXPECT_EQ(sim::CountedSerial(0), "RX5120-0001");
  EXPECT_EQ(sim::CountedSerial(11), "RX5120-0012");
}

// Frames written in one burst reach a --paced target no faster than 115200 baud carries them.
TEST(SimOptions, PacedTargetTakesInHostFramesAtTheLineRate) {
  auto o = Parse({"--paced", "dir"});
  ASSERT_TRUE(o);
  sim::Target target(o->config);
  ASSERT_TRUE(target.Start()) << target.LastError();
  std::string error;
  const int fd = platform::TtyOpen(target.DevicePath(), &error);
  ASSERT_GE(fd, 0) << error;

  // Three 112-byte frames of an event the target does not answer.
  constexpr size_t kFrameBytes = 112;
  Bytes frame = {0xDA, 0xDA, 0xDA, 0xDA, kFrameBytes - 4, 0, 0, 0, 0x77, 0x77, kFrameBytes - 12, 0};
  frame.resize(kFrameBytes, 0x55);
  Bytes burst;
  for (int i = 0; i < 3; ++i) burst.insert(burst.end(), frame.begin(), frame.end());
  const auto sent = std::chrono::steady_clock::now();
  ASSERT_TRUE(platform::FdWriteAll(fd, burst.data(), burst.size(), 1000));
  ASSERT_TRUE(target.WaitForFrames(3, 5s));
  platform::FdClose(fd);

  const auto frames = target.Received();
  const auto byte_time = std::chrono::nanoseconds(86806);
  // Each frame is taken in no sooner than its last byte would have crossed the line.
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_GE(frames[i].received_at - sent, byte_time * kFrameBytes * static_cast<long>(i + 1)) << i;
  }
}

}  // namespace
