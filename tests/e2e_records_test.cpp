// Records a line can trust: the records of -all and -watch (written by the run as each child
// ends), their reasons, the bytes a repeater was really sent, a full file system, a thousand
// report files, re-seated repeaters and the totals, against simulated repeaters.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/station_fixture.h"
#include "platform/child.h"
#include "session/sha256.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

constexpr uint16_t kFwNext = 0x0010;

using e2e::Count;
using e2e::FieldOf;
using e2e::Lines;
using e2e::Quoted;
using e2e::Read;

std::string Tail(const std::string& text) { return text.size() > 3000 ? text.substr(text.size() - 3000) : text; }

// The process id of the child serving the port, found by its command line; 0 when none.
int ChildOnPort(int port, const std::string& also) {
  const std::string head = std::string(HALVERN_EXE) + '\0' + "-port" + '\0' + std::to_string(port) + '\0';
  for (const auto& [pid, line] : e2e::CommandLines())
    if (line.starts_with(head) && line.find(also) != std::string::npos) return pid;
  return 0;
}

using RecordsTest = e2e::StationTest;

// A child killed in the middle of its update: its record is in the file as soon as it has
// ended, and stays there when the watch itself is killed afterwards. The other repeater's
// record is the one its child sent, completed by the watch.
TEST_F(RecordsTest, AKilledChildsRecordIsWrittenWhenItEndsNotWhenTheWatchEnds) {
  sim::Config slow;
  slow.usb_serial = "RX8001";
  slow.paced = true;
  slow.pace_host_bytes = true;
  sim::Target& killed = Add(slow, false);
  sim::Config quick;
  quick.usb_serial = "RX8002";
  quick.restart_ms = 300;  // restarts as -expect awaits, with the version it had
  sim::Target& served = Add(quick, false);
  const std::string report = Path("r.jsonl");
  StartWatch({"-cmd", "update", "-fw", Write("fw.bin", std::string(100000, 'k')), "-expect", "01.02.0345", "-report",
              report});
  ASSERT_TRUE(served.Plug());
  ASSERT_TRUE(WaitForLines(report, 1)) << tool_->Out();
  ASSERT_TRUE(killed.Plug());
  ASSERT_TRUE(killed.WaitForFrames(8, 20s));
  const int pid = ChildOnPort(1, report);
  ASSERT_NE(pid, 0);
  ::kill(pid, SIGKILL);
  ASSERT_TRUE(WaitForLines(report, 2)) << tool_->Out();
  ::kill(tool_->Pid(), SIGKILL);
  tool_->Wait(10000);

  const auto lines = Lines(report);
  ASSERT_EQ(lines.size(), 2u);
  // The child's own record, completed by the watch, then the one the watch made for the killed one.
  const std::vector<std::vector<std::string>> fields = {
      {"serial", "\"RX8002\"", "\"RX8001\""},  {"result", "\"ok\"", "\"interrupted\""},
      {"reason", "null", "\"interrupted\""},    {"attempt", "1", "1"},
      {"expected", "\"01.02.0345\"", "\"01.02.0345\""}, {"log", "null", "null"},
      {"file", Quoted(Path("fw.bin")), Quoted(Path("fw.bin"))}};
  for (const auto& f : fields) {
    EXPECT_EQ(FieldOf(lines[0], f[0]), f[1]) << lines[0];
    EXPECT_EQ(FieldOf(lines[1], f[0]), f[2]) << lines[1];
  }
  const std::string& made = lines[1];
  EXPECT_EQ(FieldOf(made, "message"), "\"The run for this repeater was ended (exit status 137)\"");
  EXPECT_EQ(FieldOf(made, "run"), FieldOf(lines[0], "run"));  // one run
  EXPECT_NE(FieldOf(made, "run"), "\"\"");
  EXPECT_EQ(tool_->Out().find("\x1ehalvern"), std::string::npos) << "notes are not shown";
}

// Each failure is recorded with the reason the engine or session knew; ok has none. A single
// run has a run id of its own, no attempt, and the file by its absolute path.
TEST_F(RecordsTest, EachFailureIsRecordedWithItsReason) {
  const struct {
    const char* name;
    std::vector<std::string> args;
    bool silent = false;
    uint8_t refuse = 0;
    bool hang_up = false;
    bool no_answer = false;
    const char* result;
    const char* reason;
    bool held = false;  // another program holds the port
  } cases[] = {
      {"ok", {"-cmd", "update", "-fw", "fw.bin"}, false, 0, false, false, "ok", "null"},
      {"refused", {"-cmd", "update", "-fw", "fw.bin"}, false, 1, false, false, "failed", "\"refused\""},
      {"gone", {"-cmd", "update", "-fw", "fw.bin"}, false, 0, true, false, "disconnected", "\"disconnected\""},
      {"silent", {"-cmd", "update", "-fw", "fw.bin"}, true, 0, false, false, "failed", "\"no_link\""},
      {"missing file", {"-cmd", "update", "-fw", "none.bin"}, false, 0, false, false, "failed", "\"file\""},
      {"empty file", {"-cmd", "update", "-fw", "empty.bin"}, false, 0, false, false, "failed", "\"file\""},
      {"no settings", {"-cmd", "param_set"}, false, 0, false, false, "failed", "\"usage\""},
      {"mute", {"-cmd", "update", "-fw", "fw.bin"}, false, 0, false, true, "failed", "\"no_answer\""},
      {"held", {"-cmd", "update", "-fw", "fw.bin"}, false, 0, false, false, "failed", "\"busy\"", true},
  };
  Write("fw.bin", std::string(2000, 'f'));
  Write("empty.bin", "");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    targets_.clear();
    sim::Config config;
    config.answer_hello = !c.silent;
    sim::Target& target = Add(config, true);
    sim::Fault fault;
    fault.result = c.refuse;
    fault.hang_up = c.hang_up;
    fault.no_answer = c.no_answer;
    fault.after = 1;
    if (c.refuse || c.hang_up || c.no_answer) target.SetFault(kFwNext, fault);
    const int holder = c.held ? ::open(Path("tree/dev/ttyACM0").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    if (c.held) {
      ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    }
    const std::string report = Path(std::string(c.name) + ".jsonl");
    std::vector<std::string> args = {HALVERN_EXE, "-p", "RX5120", "-report", report};
    for (const std::string& a : c.args) args.push_back(a.ends_with(".bin") ? Path(a) : a);
    auto env = Env();
    env.back().second = "3000";  // a repeater that does not answer is given up sooner
    const platform::SpawnResult r = platform::SpawnCapture(args, env, "", 60000);
    const auto lines = Lines(report);
    ASSERT_EQ(lines.size(), 1u) << r.out << r.err;
    EXPECT_EQ(FieldOf(lines[0], "result"), Quoted(c.result)) << lines[0];
    EXPECT_EQ(FieldOf(lines[0], "reason"), c.reason) << lines[0];
    EXPECT_EQ(FieldOf(lines[0], "attempt"), "null");
    EXPECT_EQ(FieldOf(lines[0], "expected"), "null");
    EXPECT_GT(FieldOf(lines[0], "run").size(), 20u) << lines[0];
    // A port held by another program is its own outcome, not a repeater that failed to answer.
    if (c.held) {
      EXPECT_EQ(FieldOf(lines[0], "message"), "\"The port is held by another program\"") << lines[0];
    }
    if (holder >= 0) ::close(holder);
  }
}

// The image is overwritten in place while a repeater is being sent it: the record names the
// bytes the repeater got, which are those of one state of the file, read once.
TEST_F(RecordsTest, TheDigestIsThatOfTheBytesTheRepeaterWasSent) {
  sim::Config paced;
  paced.usb_serial = "RX8003";
  paced.paced = true;
  paced.pace_host_bytes = true;
  sim::Target& target = Add(paced, true);
  const std::string fw = Write("fw.bin", std::string(20000, 'a'));
  const std::string report = Path("r.jsonl");
  Start({"-cmd", "update", "-fw", fw, "-report", report});
  ASSERT_TRUE(target.WaitForFrames(8, 20s));
  { std::ofstream(fw, std::ios::binary | std::ios::trunc) << std::string(30000, 'b'); }  // replaced during the shift
  EXPECT_EQ(tool_->Finish(60000), 0) << tool_->Out();
  const Bytes got = target.FirmwareImage();
  ASSERT_EQ(got, Bytes(20000, 'a'));
  Sha256 sha;
  sha.Add(got.data(), got.size());
  const auto lines = Lines(report);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(FieldOf(lines[0], "file_sha256"), Quoted(sha.HexDigest()));
  EXPECT_EQ(FieldOf(lines[0], "file_size"), "20000");
  EXPECT_EQ(FieldOf(lines[0], "bytes"), "20000");
}

// A full file system: no record fits. The file keeps what it held, whole, and the run says
// which records were lost (each would otherwise have torn and glued the next one onto it).
TEST_F(RecordsTest, AFullFileSystemLosesRecordsButNeverTearsALine) {
  for (const char* serial : {"RX8004", "RX8005"}) {
    sim::Config config;
    config.usb_serial = serial;
    Add(config, true);
  }
  const std::string before = "{\"result\":\"ok\",\"note\":\"an earlier line\"}\n";
  const std::string report = Write("r.jsonl", before);
  const std::string limit = "--fsize=" + std::to_string(before.size() + 100);
  // Past the limit a write is cut short (the signal it would raise is ignored).
  const std::string command = std::string("trap '' XFSZ; exec prlimit ") + limit + " \"$@\"";
  const platform::SpawnResult r = platform::SpawnCapture(
      {"/bin/sh", "-c", command, "sh", HALVERN_EXE, "-p", "RX5120", "-cmd", "version", "-all", "-report", report},
      Env(), "", 60000);
  EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
  EXPECT_EQ(Read(report), before);
  EXPECT_EQ(Count(r.err, "halvern: cannot write report file '" + report + "': "), 2) << r.err;
  EXPECT_NE(r.err.find("the record of port 1 (RX8004) is lost"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("the record of port 2 (RX8005) is lost"), std::string::npos) << r.err;
}

// A report file per repeater over 60 repeaters, with 40 descriptors: each record's file is
// opened for that record only.
TEST_F(RecordsTest, AReportFilePerRepeaterNeedsNoDescriptorPerRepeater) {
#if !defined(NDEBUG) || defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "60 repeaters one after another: Release builds only";
#endif
  constexpr int kRepeaters = 60, kAtOnce = 6;
  for (int i = 0; i < kRepeaters; ++i) {
    sim::Config config;
    config.usb_serial = "RX9" + std::to_string(100 + i);
    Add(config, false);
  }
  const std::string exe = HALVERN_EXE;
  tool_ = std::make_unique<platform::Child>();
  ASSERT_TRUE(tool_->Start({"/bin/sh", "-c", "ulimit -n 40 && exec \"$@\"", "sh", exe, "-p", "RX5120", "-cmd",
                            "version", "-watch", "-report", Path("r_{serial}.jsonl")},
                           Env()));
  ASSERT_TRUE(tool_->WaitForText("Watching for RX5120 repeaters", 5000)) << tool_->Out();
  for (int i = 0; i < kRepeaters; i += kAtOnce) {
    for (int k = i; k < i + kAtOnce; ++k) ASSERT_TRUE(targets_[static_cast<size_t>(k)]->Plug());
    ASSERT_TRUE(WaitForCount(" ended: ", i + kAtOnce, 60000)) << Tail(tool_->Out());
  }
  tool_->RequestStop();
  EXPECT_EQ(tool_->Wait(30000), 0) << Tail(tool_->Out());
  for (int i = 0; i < kRepeaters; ++i) {
    const auto lines = Lines(Path("r_RX9" + std::to_string(100 + i) + ".jsonl"));
    ASSERT_EQ(lines.size(), 1u) << i;
    EXPECT_EQ(FieldOf(lines[0], "result"), "\"ok\"") << lines[0];
  }
  EXPECT_NE(tool_->Out().find("60 repeaters: 60 ok\n"), std::string::npos);
}

// A repeater whose service ended without a restart request (its line lost) and that is put
// back is re-seated: served again at once, however soon it is back (once served ok, it is not).
TEST_F(RecordsTest, ARepeaterPutBackAfterALostLineIsServedAgainAtOnce) {
  sim::Config config;
  config.usb_serial = "RX8006";
  sim::Target& target = Add(config, false);
  sim::Fault gone;
  gone.hang_up = true;
  gone.after = 2;
  gone.times = 1;
  target.SetFault(kFwNext, gone);
  const std::string report = Path("r.jsonl");
  StartWatch({"-cmd", "update", "-fw", Write("fw.bin", std::string(3000, 'r')), "-report", report});
  ASSERT_TRUE(target.Plug());
  ASSERT_TRUE(WaitForCount("port 1, serial RX8006 ended: disconnected", 1)) << tool_->Out();
  target.Unplug();
  std::this_thread::sleep_for(200ms);
  ASSERT_TRUE(target.Plug());
  ASSERT_TRUE(WaitForCount("port 1, serial RX8006 plugged in again after ", 1)) << tool_->Out();
  EXPECT_NE(tool_->Out().find("(a re-seat after a service that ended disconnected): serving it again (2 of 3)"),
            std::string::npos)
      << tool_->Out();
  ASSERT_TRUE(WaitForCount("port 1, serial RX8006 ended: ok", 1)) << tool_->Out();
  target.Unplug();
  std::this_thread::sleep_for(200ms);
  ASSERT_TRUE(target.Plug());
  ASSERT_TRUE(WaitForCount("port 1, serial RX8006 back again: served in this watch already", 1)) << tool_->Out();
  tool_->RequestStop();
  EXPECT_EQ(tool_->Wait(15000), 0) << tool_->Out();
  const auto lines = Lines(report);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(FieldOf(lines[0], "attempt"), "1");
  EXPECT_EQ(FieldOf(lines[0], "reason"), "\"disconnected\"");
  EXPECT_EQ(FieldOf(lines[1], "attempt"), "2");
  EXPECT_EQ(FieldOf(lines[1], "result"), "\"ok\"");
  EXPECT_NE(tool_->Out().find("\n1 repeater: 1 ok\n"), std::string::npos) << tool_->Out();
}

// Two repeaters whose serial numbers make one file name: param_get in a watch writes each its
// own output file, and says so.
TEST_F(RecordsTest, ParamGetInAWatchNeverOverwritesAnotherRepeatersFile) {
  sim::Config a;
  a.usb_serial = "RX 0001";
  sim::Target& first = Add(a, false);
  sim::Config b;
  b.usb_serial = "RX/0001";
  b.build = 0x0345;
  sim::Target& second = Add(b, false);
  const std::string settings = Write("get.txt", "16:b:\n");
  StartWatch({"-cmd", "param_get", "-settings", settings});
  ASSERT_TRUE(first.Plug());
  ASSERT_TRUE(WaitForCount("ended: ok", 1)) << tool_->Out();
  ASSERT_TRUE(second.Plug());
  ASSERT_TRUE(WaitForCount("ended: ok", 2)) << tool_->Out();
  tool_->RequestStop();
  EXPECT_EQ(tool_->Wait(15000), 0) << tool_->Out();
  EXPECT_TRUE(std::filesystem::exists(Path("get_01_02_0345_RX_0001.out")));
  EXPECT_TRUE(std::filesystem::exists(Path("get_01_02_0345_RX_0001_COM2.out")));
  EXPECT_NE(tool_->Err().find("halvern: the repeater on COM2 would write the output file of an earlier one in this "
                              "watch: its name gets _COM2\n"),
            std::string::npos)
      << tool_->Err();
}

// The summary shows the records' figures (bytes as recorded, the version after the restart in
// a last column) and a totals line ends the run.
TEST_F(RecordsTest, TheSummaryShowsWhatTheRecordsHoldAndEndsWithTheTotals) {
  sim::Config ok;
  ok.usb_serial = "RX8101";
  ok.restart_ms = 300;
  ok.version_after = 0x0103;
  ok.build_after = 0x0400;
  Add(ok, true);
  sim::Config refused = ok;
  refused.usb_serial = "RX8102";
  sim::Target& second = Add(refused, true);
  sim::Fault refuse;
  refuse.result = 1;
  refuse.after = 2;
  second.SetFault(kFwNext, refuse);
  sim::Config gone = ok;
  gone.usb_serial = "RX8103";
  sim::Target& third = Add(gone, true);
  sim::Fault hang_up;
  hang_up.hang_up = true;
  hang_up.after = 1;
  third.SetFault(kFwNext, hang_up);
  const std::string report = Path("r.jsonl");
  const platform::SpawnResult r = platform::SpawnCapture(
      {HALVERN_EXE, "-p", "RX5120", "-cmd", "update", "-fw", Write("fw.bin", std::string(1000, 's')), "-verify", "-all",
       "-report", report},
      Env(), "", 60000);
  EXPECT_EQ(r.exit_status, 1) << r.out;
  std::map<std::string, std::string> bytes;
  for (const std::string& line : Lines(report)) bytes[FieldOf(line, "serial")] = FieldOf(line, "bytes");
  ASSERT_EQ(bytes.size(), 3u);
  EXPECT_EQ(bytes["\"RX8102\""], "768");  // three chunks accepted: not whole kilobytes from the console
  const std::regex rows(
      "\nport  serial {16}version {7}result {12}bytes   seconds  after\n"
      "   1  RX8101 {16}01\\.02\\.0345 {4}ok {17}1000 +[0-9.]+  01\\.03\\.0400\n"
      "   2  RX8102 {16}01\\.02\\.0345 {4}failed {14}768 +[0-9.]+  -\n"
      "   3  RX8103 {16}01\\.02\\.0345 {4}disconnected {2}" + std::string(10 - bytes["\"RX8103\""].size(), ' ') +
      bytes["\"RX8103\""] + " +[0-9.]+  -\n");
  EXPECT_TRUE(std::regex_search(r.out, rows)) << r.out;
  EXPECT_NE(r.out.find("\n3 repeaters: 1 ok, 1 failed (RX8102: refused), 1 disconnected (RX8103)\n"),
            std::string::npos)
      << r.out;
}

}  // namespace
