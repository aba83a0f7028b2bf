// -report FILE: the service records the built tool appends for the repeaters it serves.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "platform/child.h"
#include "session/sha256.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint16_t kFwNext = 0x0010;

using e2e::FieldOf;
using e2e::Lines;
using e2e::Quoted;

class ReportTest : public e2e::SimTest {
 protected:
  std::string WriteFile(const std::string& name, const Bytes& bytes) {
    const auto path = dir_.path() / name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::ssize(bytes));
    return path.string();
  }
  std::string Report() const { return (dir_.path() / "service.jsonl").string(); }
};

TEST_F(ReportTest, AnUpdateRecordsEveryFieldOfItsRun) {
  sim::Config config;
  config.usb_serial = "RX0042";
  StartTarget(config);
  const Bytes image(1000, 0x5A);
  const std::string fw = WriteFile("fw.bin", image);
  Sha256 sha;
  sha.Add(image.data(), image.size());
  auto r = Run({"-p", "RX5120", "-cmd", "update", "-fw", fw, "-report", Report()});
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  const auto lines = Lines(Report());
  ASSERT_EQ(lines.size(), 1u);
  const std::string& line = lines[0];
  EXPECT_TRUE(std::regex_match(FieldOf(line, "time"), std::regex(R"("\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z")")))
      << line;
  EXPECT_NE(FieldOf(line, "host"), "\"\"");
  EXPECT_EQ(FieldOf(line, "tool"), Quoted(HALVERN_TEST_VERSION));
  EXPECT_EQ(FieldOf(line, "command"), "\"update\"");
  EXPECT_EQ(FieldOf(line, "port"), "1");
  EXPECT_EQ(FieldOf(line, "serial"), "\"RX0042\"");
  EXPECT_EQ(FieldOf(line, "version_before"), "\"01.02.0345\"");
  EXPECT_EQ(FieldOf(line, "version_after"), "null");
  EXPECT_EQ(FieldOf(line, "file"), Quoted(fw));
  EXPECT_EQ(FieldOf(line, "file_size"), "1000");
  EXPECT_EQ(FieldOf(line, "file_sha256"), Quoted(sha.HexDigest()));
  EXPECT_EQ(FieldOf(line, "bytes"), "1000");
  EXPECT_EQ(FieldOf(line, "result"), "\"ok\"");
  EXPECT_TRUE(std::regex_match(FieldOf(line, "seconds"), std::regex(R"(\d+\.\d{3})"))) << line;
  EXPECT_EQ(FieldOf(line, "message"), "null");
}

TEST_F(ReportTest, FailuresAreRecordedWithTheirWordsAndTheCommandsOwnStatus) {
  const struct {
    std::vector<std::string> args;
    bool hang_up;
    bool silent;
    const char* result;
    const char* bytes;
    const char* message;
    const char* version;
  } cases[] = {
      // Refused at the third chunk: two chunks had reached the target.
      {{"-cmd", "update"},
       false,
       false,
       "failed",
       "512",
       "\"FW Update was not successfully finished\"",
       "\"01.02.0345\""},
      {{"-cmd", "update"}, true, false, "disconnected", "512", "\"The repeater was disconnected\"", "\"01.02.0345\""},
      {{"-cmd", "update"}, false, true, "failed", "null", "\"Target connectivity failed\"", "null"},
      {{"-cmd", "param_set"}, false, false, "failed", "null", "\"File NOT defined\"", "null"},
      {{"-cmd", "reboot"}, false, false, "ok", "null", "null", "\"01.02.0345\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    std::filesystem::remove(Report());
    sim::Config config;
    config.answer_hello = !c.silent;
    StartTarget(config);
    sim::Fault fault;
    fault.result = c.hang_up ? 0 : 1;
    fault.hang_up = c.hang_up;
    fault.after = 1;
    target_->SetFault(kFwNext, fault);
    std::vector<std::string> args = {"-p", "RX5120", "-fw", WriteFile("fw.bin", Bytes(2000, 1)), "-report", Report()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    auto r = Run(args);
    EXPECT_EQ(r.exit_status, std::string(c.result) == "ok" ? 0 : 1) << r.out;
    const auto lines = Lines(Report());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(FieldOf(lines[0], "result"), Quoted(c.result));
    EXPECT_EQ(FieldOf(lines[0], "bytes"), c.bytes);
    EXPECT_EQ(FieldOf(lines[0], "message"), c.message);
    EXPECT_EQ(FieldOf(lines[0], "version_before"), c.version);
  }
}

TEST_F(ReportTest, AStoppedUpdateIsRecordedAsInterruptedWithTheBytesThatArrived) {
  sim::Config paced;
  paced.paced = true;
  paced.pace_host_bytes = true;
  StartTarget(paced);
  platform::Child tool;
  ASSERT_TRUE(tool.Start({HALVERN_EXE, "-p", "RX5120", "-cmd", "update", "-fw", WriteFile("fw.bin", Bytes(100000, 3)),
                          "-report", Report()},
                         Env()));
  ASSERT_TRUE(target_->WaitForFrames(12, std::chrono::seconds(20)));
  tool.Interrupt();
  EXPECT_EQ(tool.Finish(30000), 1) << tool.Out();
  const auto lines = Lines(Report());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(FieldOf(lines[0], "result"), "\"interrupted\"");
  EXPECT_EQ(FieldOf(lines[0], "message"), "\"Stopped on request\"");
  const long bytes = std::stol(FieldOf(lines[0], "bytes"));  // the chunks the target had accepted
  EXPECT_TRUE(bytes >= 2048 && bytes < 100000 && bytes % 256 == 0) << bytes;
}

TEST_F(ReportTest, ARecordThatCannotBeWrittenFailsTheRunButHidesNothing) {
  StartTarget();
  auto r = Run({"-p", "RX5120", "-cmd", "version", "-report", "/dev/full"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, e2e::kBanner + "Product: SW Version 01.02.0345\n\n" + e2e::kRule + "\n");
  EXPECT_EQ(r.err, "halvern: cannot write report file '/dev/full': No space left on device\n");
}

TEST_F(ReportTest, AReportFileThatCannotBeOpenedIsAUsageErrorBeforeAnyPort) {
  StartTarget();
  const std::string fw = WriteFile("fw.bin", Bytes(300, 2));
  for (const std::string& report : {(dir_.path() / "none" / "r.jsonl").string(), dir_.path().string()}) {
    auto r = Run({"-p", "RX5120", "-cmd", "update", "-fw", fw, "-report", report});
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.out, e2e::kBanner);
    EXPECT_EQ(r.err.rfind("halvern: cannot open report file '" + report + "': ", 0), 0u) << r.err;
    r = Run({"-p", "RX5120", "-cmd", "version", "-all", "-report", report});
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_NE(r.err.find("halvern: cannot open report file '" + report + "': "), std::string::npos) << r.err;
  }
  EXPECT_TRUE(target_->Received().empty());
}

}  // namespace

namespace {

// -all: one record per repeater, whoever writes it.
TEST(ReportAll, EveryRepeaterGetsOneLineWithItsOwnResult) {
  e2e::TempDir dir;
  std::vector<std::unique_ptr<sim::Target>> targets;
  for (int i = 0; i < 3; ++i) {
    sim::Config config;
    config.usb_serial = "RX" + std::to_string(7001 + i);
    targets.push_back(std::make_unique<sim::Target>(config));
    ASSERT_TRUE(targets.back()->Start()) << targets.back()->LastError();
    ASSERT_TRUE(targets.back()->LayOutTree((dir.path() / "tree").string(), static_cast<uint8_t>(i + 1)));
  }
  sim::Fault refuse;
  refuse.result = 1;
  refuse.after = 2;
  targets[1]->SetFault(kFwNext, refuse);
  sim::Fault unplug;
  unplug.hang_up = true;
  unplug.after = 2;
  targets[2]->SetFault(kFwNext, unplug);
  const std::string fw = (dir.path() / "fw.bin").string();
  std::ofstream(fw, std::ios::binary) << std::string(4000, 'x');
  const std::string report = (dir.path() / "r.jsonl").string();
  auto r = platform::SpawnCapture(
      {HALVERN_EXE, "-p", "RX5120", "-cmd", "update", "-fw", fw, "-all", "-report", report},
      {{"HALVERN_SYSFS_ROOT", targets[0]->SysfsRoot()}, {"HALVERN_DEV_ROOT", targets[0]->DevRoot()}}, "", 60000);
  EXPECT_EQ(r.exit_status, 1) << r.out;
  EXPECT_NE(r.out.find("disconnected"), std::string::npos) << r.out;  // the summary's word too
  const auto lines = Lines(report);
  ASSERT_EQ(lines.size(), 3u) << r.out;
  std::map<std::string, std::string> result_of;
  for (const std::string& line : lines) result_of[FieldOf(line, "serial")] = FieldOf(line, "result");
  EXPECT_EQ(result_of["\"RX7001\""], "\"ok\"");
  EXPECT_EQ(result_of["\"RX7002\""], "\"failed\"");
  EXPECT_EQ(result_of["\"RX7003\""], "\"disconnected\"");
  while (!targets.empty()) targets.pop_back();  // the last laid out goes first
}

// A child killed mid-run writes nothing: the run over every repeater writes its record instead.
TEST(ReportAll, AKilledChildStillGetsItsLine) {
  e2e::TempDir dir;
  std::vector<std::unique_ptr<sim::Target>> targets;
  for (int i = 0; i < 2; ++i) {
    sim::Config config;
    config.usb_serial = "RX" + std::to_string(7001 + i);
    config.paced = true;
    config.pace_host_bytes = true;
    targets.push_back(std::make_unique<sim::Target>(config));
    ASSERT_TRUE(targets.back()->Start()) << targets.back()->LastError();
    ASSERT_TRUE(targets.back()->LayOutTree((dir.path() / "tree").string(), static_cast<uint8_t>(i + 1)));
  }
  const std::string fw = (dir.path() / "fw.bin").string();
  std::ofstream(fw, std::ios::binary) << std::string(20000, 'x');
  const std::string report = (dir.path() / "r.jsonl").string();
  platform::Child tool;
  ASSERT_TRUE(tool.Start({HALVERN_EXE, "-p", "RX5120", "-cmd", "update", "-fw", fw, "-all", "-report", report},
                         {{"HALVERN_SYSFS_ROOT", targets[0]->SysfsRoot()}, {"HALVERN_DEV_ROOT", targets[0]->DevRoot()}}));
  ASSERT_TRUE(targets[1]->WaitForFrames(6, std::chrono::seconds(20)));
  // The child serving port 2: its own options come first, "-port 2" among them.
  const std::string port2 = std::string(HALVERN_EXE) + '\0' + "-port" + '\0' + "2" + '\0';
  int killed = 0;
  for (const auto& [pid, line] : e2e::CommandLines())
    if (line.starts_with(port2) && line.find(report) != std::string::npos) {
      killed = pid;
      ::kill(killed, SIGKILL);
    }
  ASSERT_NE(killed, 0);
  EXPECT_EQ(tool.Finish(60000), 1) << tool.Out();
  const auto lines = Lines(report);
  ASSERT_EQ(lines.size(), 2u) << tool.Out();
  const std::string& own = lines[0].find("\"RX7001\"") != std::string::npos ? lines[0] : lines[1];
  const std::string& parents = &own == &lines[0] ? lines[1] : lines[0];
  EXPECT_EQ(FieldOf(own, "result"), "\"ok\"");
  EXPECT_EQ(FieldOf(parents, "serial"), "\"RX7002\"");
  EXPECT_EQ(FieldOf(parents, "port"), "2");
  EXPECT_EQ(FieldOf(parents, "result"), "\"interrupted\"");  // killed in the middle of its command
  EXPECT_EQ(FieldOf(parents, "reason"), "\"interrupted\"");
  EXPECT_EQ(FieldOf(parents, "version_before"), "\"01.02.0345\"");  // from the child's output
  EXPECT_EQ(FieldOf(parents, "file_size"), "20000");
  EXPECT_EQ(FieldOf(parents, "message"), "\"The run for this repeater was ended (exit status 137)\"");
  while (!targets.empty()) targets.pop_back();
}

}  // namespace
