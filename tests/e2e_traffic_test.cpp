// The simulated repeater that talks by itself (--traffic): log lines at the level the log
// console asks for, a call set up and released in the tracer's trace file as halvern-trace reads
// it back, nothing while logging is off; and rx5120-sim serving on with its input at an end.
#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>

#include "tests/e2e_console.h"
#include "trace_reader/trace_reader.h"

namespace e2e {
namespace {

using namespace std::chrono_literals;

sim::Config Talking(bool log, bool trace) {
  sim::Config c;
  c.log_traffic = log;
  c.trace_traffic = trace;
  c.traffic_rate = 50;
  return c;
}

// The log lines shown, each without its time.
std::vector<std::string> LogLines(const std::string& out) {
  std::vector<std::string> lines;
  std::istringstream in(MaskTimes(out));
  for (std::string line; std::getline(in, line);)
    if (line.rfind("<hh:mm:ss> ", 0) == 0) lines.push_back(line.substr(11));
  return lines;
}

class TrafficTest : public ConsoleTest {};

TEST_F(TrafficTest, LogLinesFollowTheLevelAskedAndStopWhenLoggingIsOff) {
  StartTarget(Talking(true, false));
  StartTool({"-p", "RX5120", "-cmd", "log", "-llevel", "3"});
  ASSERT_TRUE(target_->WaitForEvent(0x3006, 5s));
  std::this_thread::sleep_for(300ms);  // 15 intervals: the level off sends nothing
  Keys("x");
  WaitForOutput("Relayed connections 0\n");
  EXPECT_TRUE(LogLines(tool_->Out()).empty()) << tool_->Out();

  Keys("tw");  // warnings and errors only, from the first line of the cycle on
  WaitForOutput("WARN MAC: handset 2 signal weak");
  Keys("to");
  for (auto until = std::chrono::steady_clock::now() + 5s; target_->LogLevel() != 3;) {
    ASSERT_LT(std::chrono::steady_clock::now(), until) << "the level off did not arrive";
    std::this_thread::sleep_for(10ms);
  }
  std::this_thread::sleep_for(250ms);  // a line already on its way may still come
  const size_t shown = LogLines(tool_->Out()).size();
  std::this_thread::sleep_for(300ms);
  Keys("x");
  WaitForOutput("Relayed connections 0\n", 2);
  Keys("q");
  EXPECT_EQ(Finish(), 0);

  const std::vector<std::string> lines = LogLines(tool_->Out());
  EXPECT_EQ(lines.size(), shown) << "log lines after the level off:\n" << tool_->Out();
  const std::vector<std::string> first = {
      "WARN MAC: handset 1 signal weak (-67 dBm), handover candidate",
      "ERROR DLC: call 1 frame lost after 3 retransmissions",
      "WARN REP: base sync drift 3 us",
      "WARN MAC: handset 2 signal weak (-74 dBm), handover candidate",
  };
  ASSERT_GE(lines.size(), first.size()) << tool_->Out();
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 4), first);
}

// What halvern-trace shows of a record: kind, dst, src and message name.
std::vector<std::string> Shown(const std::string& out) {
  std::vector<std::string> rows;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    char kind[8], name[64];
    unsigned number, dst, src, mid;
    if (std::sscanf(line.c_str(), "%u %7s dst=%u src=%u mid=%u %63s", &number, kind, &dst, &src, &mid, name) == 6)
      rows.push_back(std::string(kind) + " " + std::to_string(dst) + "<" + std::to_string(src) + " " + name);
  }
  return rows;
}

TEST_F(TrafficTest, TracerRecordsACallSetUpAndReleasedWithOneAndTwoPacketMessages) {
  StartTarget(Talking(false, true));
  const auto config = WriteFile("logger.cfg", "a\n");
  StartTool({"-p", "RX5120", "-cmd", "tracer", "-tfile", config.string()});
  WaitForOutput("h\t=>\t help\n\n");
  // The first call's 13 messages and the next call's first, read while the tracer records.
  std::vector<trace_reader::Record> records;
  std::filesystem::path file;
  for (auto until = std::chrono::steady_clock::now() + 10s;
       records.size() < 20 && std::chrono::steady_clock::now() < until;) {
    std::this_thread::sleep_for(50ms);
    for (const auto& e : std::filesystem::directory_iterator(work_))
      if (e.path().filename().string().rfind("cmbs_dect_tracer-", 0) == 0) file = e.path();
    records.clear();
    trace_reader::Parser parser([&](const trace_reader::Record& r) { records.push_back(r); });
    const std::string text = ReadFile(file);
    parser.FeedScrambled(text.data(), text.size(), 0);
  }
  Keys("q");
  EXPECT_EQ(Finish(), 0);
  EXPECT_EQ(tool_->Out().find("not open"), std::string::npos) << tool_->Out();
  ASSERT_GE(records.size(), 20u);

  const auto trace = platform::SpawnCapture({HALVERN_TRACE_EXE, file.string()},
                                            {{"HALVERN_MID_FILE", "/nonexistent/logger.txt"}}, "", 15000);
  ASSERT_EQ(trace.exit_status, 0) << trace.err;
  const std::vector<std::string> rows = Shown(trace.out);
  const std::vector<std::string> call = {
      "first 3<1 MID_TBC_BEARER_ESTABLISHED_IND",
      "first 3<1 MID_MAC_CON_IND",
      "first 4<3 MID_DLC_ESTABLISH_IND",
      "first 5<4 MID_IWU_CC_SETUP",
      "second 5<4 MID_IWU_CC_SETUP",
      "first 4<5 MID_IWU_CC_ALERT",
      "second 4<5 MID_IWU_CC_ALERT",
      "first 4<5 MID_IWU_CC_CONNECT",
      "second 4<5 MID_IWU_CC_CONNECT",
      "first 5<4 MID_IWU_CC_CONNECT_ACK",
      "second 5<4 MID_IWU_CC_CONNECT_ACK",
      "first 5<1 MID_LLME_QUALITY_IND",
      "first 5<4 MID_IWU_CC_RELEASE",
      "second 5<4 MID_IWU_CC_RELEASE",
      "first 4<5 MID_IWU_CC_RELEASE_COM",
      "second 4<5 MID_IWU_CC_RELEASE_COM",
      "first 4<3 MID_DLC_RELEASE_IND",
      "first 3<1 MID_MAC_DIS_IND",
      "first 3<1 MID_TBC_BEARER_RELEASE_IND",
      "first 3<1 MID_TBC_BEARER_ESTABLISHED_IND",
  };
  ASSERT_GE(rows.size(), call.size()) << trace.out;
  EXPECT_EQ(std::vector<std::string>(rows.begin(), rows.begin() + 20), call) << trace.out;

  // Each second packet is the network-layer message its first packet carries: call control,
  // then the message type, and it names the task the flags say.
  for (size_t i = 1; i < 20; ++i) {
    const trace_reader::Record& a = records[i - 1];
    const trace_reader::Record& b = records[i];
    if (b.kind() != trace_reader::PacketKind::kSecond) continue;
    ASSERT_GT(a.data_size(), 5u);
    EXPECT_EQ(std::vector<uint8_t>(b.data(), b.data() + b.data_size()),
              std::vector<uint8_t>(a.data() + 5, a.data() + 5 + a.data()[4]));
    EXPECT_EQ(b.data()[0], 0x03) << i;
    EXPECT_EQ(b.task(), b.dst() == 5 ? b.dst() : b.src()) << i;  // the IWU's side either way
  }
  EXPECT_EQ(records[4].data()[2], 0x05);   // the setup
  EXPECT_EQ(records[15].data()[2], 0x5A);  // the release complete
}

// Started from a script, its input at end of file: it serves until SIGTERM and then ends well.
TEST_F(TrafficTest, StandaloneServerOutlivesTheEndOfItsInputUntilSigterm) {
  const std::string tree = (dir_.path() / "tree").string();
  platform::Child server;
  ASSERT_TRUE(server.Start({RX5120_SIM_EXE, tree}, {}));
  server.CloseInput();
  ASSERT_TRUE(server.WaitForText("export HALVERN_DEV_ROOT=", 10000)) << server.Err();
  std::this_thread::sleep_for(300ms);  // it used to end here, at the end of its input
  std::vector<std::pair<std::string, std::string>> env;
  std::istringstream exports(server.Out());
  for (std::string line; std::getline(exports, line);) {
    const size_t eq = line.find('=');
    if (line.rfind("export ", 0) == 0 && eq != std::string::npos)
      env.emplace_back(line.substr(7, eq - 7), line.substr(eq + 1));
  }
  ASSERT_EQ(env.size(), 2u) << server.Out();
  const auto version = platform::SpawnCapture({HALVERN_EXE, "-p", "RX5120", "-cmd", "version"}, env, "", 30000);
  EXPECT_EQ(version.exit_status, 0) << version.out;
  EXPECT_NE(version.out.find("Product: SW Version 01.02.0345\n"), std::string::npos) << version.out;
  server.RequestStop();
  EXPECT_EQ(server.Wait(10000), 0) << server.Err();
  EXPECT_FALSE(std::filesystem::exists(tree + "/dev"));
}

}  // namespace
}  // namespace e2e
