// What a production line needs of the station, against simulated repeaters: a hook after each
// service (-ondone), a log per service (-logdir), progress a file or pipe can take, and units on
// the expected version left as they are (-skipcurrent).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/station_fixture.h"
#include "platform/child.h"

namespace {

using namespace std::chrono_literals;
using e2e::Count;
using e2e::FieldOf;
using e2e::Lines;
using e2e::Quoted;
using e2e::Read;

constexpr uint16_t kFwNext = 0x0010, kFwStart = 0x000E;

// The block of the repeater on the port: from its header up to the next header or the summary.
std::string Block(const std::string& out, int port) {
  const size_t at = out.find("----- port " + std::to_string(port) + ", serial ");
  if (at == std::string::npos) return "";
  const size_t end = std::min(out.find("----- port ", at + 1), out.find("\nport  serial", at));
  return out.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// A JSON string field's text (no escapes in what these tests compare).
std::string Unquoted(const std::string& field) {
  return field.size() >= 2 && field.front() == '"' ? field.substr(1, field.size() - 2) : "";
}

class LineTest : public e2e::StationTest {
 protected:
  // A repeater that restarts with 01.03.0400 after an update.
  static sim::Config Updated(const std::string& serial) {
    sim::Config config;
    config.usb_serial = serial;
    config.restart_ms = 300;
    config.version_after = 0x0103;
    config.build_after = 0x0400;
    return config;
  }
};

// -ondone with -all over two repeaters, one refused: each hook gets its record's line (as the
// report holds it, in the same order) and its fields; a failing or slow hook is one line on
// standard error and changes neither a result nor the exit status; the run waits for its hooks.
TEST_F(LineTest, AHookGetsEachRecordAndNeverChangesTheOutcome) {
  const std::string in = Path("in.txt"), env = Path("env.txt");
  const std::string record_hook = "cat >> '" + in + "'; echo \"$HALVERN_RESULT|$HALVERN_REASON|$HALVERN_SERIAL|" +
                                  "$HALVERN_PORT|$HALVERN_COMMAND|$HALVERN_VERSION_BEFORE|$HALVERN_VERSION_AFTER|" +
                                  "$HALVERN_LOG\" >> '" + env + "'";
  const struct {
    const char* name;
    std::string hook;
    const char* wait_ms;
    bool waits;                    // the run tells it waits for hooks
    std::vector<std::string> err;  // lines on standard error (a regular expression each)
  } cases[] = {
      {"record", record_hook, "6000", false, {}},
      {"failing", "cat >> '" + in + "'; exit 3", "6000", false,
       {"halvern: -ondone for port [12], serial RX820[12] failed \\(exit status 3\\)",
        "halvern: -ondone for port [12], serial RX820[12] failed \\(exit status 3\\)"}},
      {"slow", "sleep 1; cat >> '" + in + "'", "6000", true, {"halvern: waiting for (1 hook|2 hooks)"}},
      // The bound is half the command wait: 1.5 s here (30 s unscaled).
      {"over its time", "cat >> '" + in + "'; sleep 20", "3000", true,
       {"halvern: waiting for (1 hook|2 hooks)", "halvern: -ondone for port [12], serial RX820[12] was ended after 1.5 s",
        "halvern: -ondone for port [12], serial RX820[12] was ended after 1.5 s"}},
  };
  Add(Updated("RX8201"));
  sim::Fault refuse;
  refuse.result = 1;
  refuse.after = 2;
  Add(Updated("RX8202")).SetFault(kFwNext, refuse);
  const std::string fw = Write("fw.bin", std::string(1000, 'h'));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(in);
    std::filesystem::remove(env);
    const std::string report = Path(std::string(c.name) + ".jsonl");
    wait_ms_ = c.wait_ms;
    const auto started = std::chrono::steady_clock::now();
    const platform::SpawnResult r =
        Run({"-cmd", "update", "-fw", fw, "-verify", "-all", "-report", report, "-ondone", c.hook});
    EXPECT_LT(std::chrono::steady_clock::now() - started, 15s) << "a hook over its time is ended";
    EXPECT_EQ(r.exit_status, 1) << r.out << r.err;  // the refused repeater's failure, nothing more
    const auto records = Lines(report);
    ASSERT_EQ(records.size(), 2u) << r.out;
    std::set<std::string> results;
    for (const std::string& line : records) results.insert(FieldOf(line, "serial") + FieldOf(line, "result"));
    EXPECT_EQ(results, (std::set<std::string>{"\"RX8201\"\"ok\"", "\"RX8202\"\"failed\""}));
    // Hook lines end the run's standard error, in the order the hooks ran.
    std::vector<std::string> err;
    for (std::istringstream lines(r.err); std::getline(lines, err.emplace_back());) {}
    err.pop_back();
    // A quick hook may still be running as the run ends: the wait is told then.
    if (!c.waits && !err.empty() && err[0].starts_with("halvern: waiting for ")) err.erase(err.begin());
    // Each line matches one of the patterns (a hook may end before or after the run's last line).
    ASSERT_EQ(err.size(), c.err.size()) << r.err;
    std::vector<std::string> patterns = c.err;
    for (const std::string& line : err) {
      const auto match = std::find_if(patterns.begin(), patterns.end(),
                                      [&](const std::string& p) { return std::regex_match(line, std::regex(p)); });
      if (match == patterns.end()) ADD_FAILURE() << "unexpected: " << line << "\n" << r.err;
      else patterns.erase(match);
    }
    EXPECT_EQ(Lines(in), records) << "each hook reads its record's line, in the order of the records";
    if (c.name != std::string("record")) continue;
    const auto envs = Lines(env);
    ASSERT_EQ(envs.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
      const bool ok = FieldOf(records[i], "result") == "\"ok\"";
      EXPECT_EQ(envs[i], ok ? "ok||RX8201|1|update|01.02.0345|01.03.0400|" : "failed|refused|RX8202|2|update|01.02.0345||");
    }
  }
}

// -ondone in a watch: a hook that has not ended (here: until the test lets it) delays no other
// repeater's service, and the watch, once stopped, waits for its hooks after the totals.
TEST_F(LineTest, AHookNeverDelaysAServiceAndAStoppedWatchWaitsForIt) {
  wait_ms_ = "60000";  // hooks may take 30 s
  for (const char* serial : {"RX8211", "RX8212"}) {
    sim::Config config;
    config.usb_serial = serial;
    Add(config, false);
  }
  const std::string in = Path("in.txt"), gate = Path("gate");
  StartWatch({"-cmd", "version", "-ondone",
              "while [ ! -e '" + gate + "' ]; do sleep 0.05; done; cat >> '" + in + "'"});
  ASSERT_TRUE(targets_[0]->Plug());
  ASSERT_TRUE(WaitForCount("serial RX8211 ended: ok", 1)) << tool_->Out();
  ASSERT_TRUE(targets_[1]->Plug());
  ASSERT_TRUE(WaitForCount("serial RX8212 ended: ok", 1)) << tool_->Out();
  EXPECT_FALSE(std::filesystem::exists(in)) << "the first hook is still waiting";
  tool_->RequestStop();
  ASSERT_TRUE(WaitForCount("2 repeaters: 2 ok\n", 1)) << tool_->Out();
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (tool_->Err().find("halvern: waiting for 2 hooks\n") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline)
    tool_->WaitForOutput([](const std::string&) { return false; }, 100);
  EXPECT_EQ(tool_->Err(), "halvern: waiting for 2 hooks\n");
  EXPECT_FALSE(std::filesystem::exists(in)) << "no hook has run yet";
  Write("gate", "");
  EXPECT_EQ(tool_->Wait(20000), 0) << tool_->Out() << tool_->Err();
  const auto got = Lines(in);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(FieldOf(got[0], "serial"), "\"RX8211\"");
  EXPECT_EQ(FieldOf(got[1], "serial"), "\"RX8212\"");
}

// -logdir: one log per service, named by the repeater (COM<port> without a serial number) and
// its start, holding its block's text; the record names it. The directory is made when
// missing; one that cannot be had refuses the run before any repeater is touched.
TEST_F(LineTest, EachServiceHasALogThatItsRecordNames) {
  sim::Config with_serial;
  with_serial.usb_serial = "RX8221";
  Add(with_serial);
  Add(sim::Config{});
  std::filesystem::remove(Path("tree/sys/devices/usb1/1-2/serial"));  // no serial number
  const std::string fw = Write("fw.bin", std::string(3000, 'l'));
  const std::string logs = Path("logs/line 1");
  const platform::SpawnResult r = Run({"-cmd", "update", "-fw", fw, "-all", "-logdir", logs, "-report",
                                       Path("r.jsonl")});
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  const auto records = Lines(Path("r.jsonl"));
  ASSERT_EQ(records.size(), 2u);
  std::set<std::string> names;
  for (const std::string& record : records) {
    const std::string log = Unquoted(FieldOf(record, "log"));
    ASSERT_FALSE(log.empty()) << record;
    EXPECT_EQ(std::filesystem::path(log).parent_path(), std::filesystem::path(logs));
    names.insert(std::regex_replace(std::filesystem::path(log).filename().string(),
                                    std::regex("_[0-9]{8}T[0-9]{6}\\.[0-9]{3}Z\\.log$"), "_TIME.log"));
    const bool first = FieldOf(record, "port") == "1";
    const std::string block = Block(r.out, first ? 1 : 2);
    ASSERT_NE(block, "") << r.out;
    EXPECT_EQ(Read(log), block);
    EXPECT_NE(block.find("FW Update successfully finished"), std::string::npos) << block;
  }
  EXPECT_EQ(names, (std::set<std::string>{"RX8221_TIME.log", "COM2_TIME.log"}));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(logs), {}), 2);

  // A directory that cannot be had: a file stands where it would be. The restart request is each
  // child's last frame and may still be on its way when the run ends: counted once it is in.
  for (const auto& target : targets_) EXPECT_TRUE(target->WaitForEvent(0x001C, 2s));
  const std::string blocked = Write("blocked", "a file") + "/logs";
  for (const char* mode : {"-all", "-watch"}) {
    SCOPED_TRACE(mode);
    const size_t heard = targets_[0]->Received().size() + targets_[1]->Received().size();
    const platform::SpawnResult refused = Run({"-cmd", "update", "-fw", fw, mode, "-logdir", blocked});
    EXPECT_EQ(refused.exit_status, 1) << refused.out;
    EXPECT_TRUE(std::regex_match(refused.err, std::regex("halvern: cannot write logs to directory '" + blocked +
                                                         "': [^\n]+\n")))
        << refused.err;
    EXPECT_EQ(refused.out.find("----- port"), std::string::npos) << refused.out;
    EXPECT_EQ(targets_[0]->Received().size() + targets_[1]->Received().size(), heard) << "nothing on the wire";
  }
}

// A log that cannot be written (its directory gone during the watch) is one line on standard
// error and no log in the record; the service's result stands.
TEST_F(LineTest, ALogThatCannotBeWrittenLeavesTheResultAsItWas) {
  sim::Config config;
  config.usb_serial = "RX8231";
  sim::Target& target = Add(config, false);
  const std::string logs = Path("logs");
  StartWatch({"-cmd", "version", "-logdir", logs, "-report", Path("r.jsonl")});
  ASSERT_TRUE(std::filesystem::is_directory(logs)) << "made at the start";
  std::filesystem::remove_all(logs);
  Write("logs", "no longer a directory");
  ASSERT_TRUE(target.Plug());
  ASSERT_TRUE(WaitForCount("serial RX8231 ended: ok", 1)) << tool_->Out();
  tool_->RequestStop();
  EXPECT_EQ(tool_->Wait(20000), 0) << tool_->Out();
  EXPECT_TRUE(std::regex_match(tool_->Err(), std::regex("halvern: cannot write log file '" + logs +
                                                        "/RX8231_[0-9T.]+Z\\.log': [^\n]+\n")))
      << tool_->Err();
  const auto records = Lines(Path("r.jsonl"));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(FieldOf(records[0], "log"), "null");
  EXPECT_EQ(FieldOf(records[0], "result"), "\"ok\"");
}

// The output of -all and -watch going to a file or pipe: a child's progress is a line per tenth
// of the transfer, not counters joined by "\r".
TEST_F(LineTest, ProgressReachesAFileOrPipeAsALinePerTenth) {
  sim::Config config;
  config.usb_serial = "RX8241";
  Add(config);
  const std::string fw = Write("fw.bin", std::string(20 * 1024, 'p'));
  std::string tenths;
  for (int kb = 2; kb <= 18; kb += 2) tenths += "Writing: " + std::string(kb < 10 ? "  " : " ") + std::to_string(kb) + " Kb\n";
  const std::string progress = "Update Start\n" + tenths + "Writing:  19 Kb\n\n";  // the last counter too
  const platform::SpawnResult all = Run({"-cmd", "update", "-fw", fw, "-all"});
  ASSERT_EQ(all.exit_status, 0) << all.out;
  EXPECT_EQ(all.out.find('\r'), std::string::npos);
  EXPECT_NE(Block(all.out, 1).find(progress), std::string::npos) << all.out;

  StartWatch({"-cmd", "update", "-fw", fw});
  ASSERT_TRUE(WaitForCount("serial RX8241 ended: ok", 1)) << tool_->Out();
  tool_->RequestStop();
  EXPECT_EQ(tool_->Wait(20000), 0);
  EXPECT_EQ(tool_->Out().find('\r'), std::string::npos);
  EXPECT_NE(Block(tool_->Out(), 1).find(progress), std::string::npos) << tool_->Out();
}

// -skipcurrent: a repeater already on the version expected (letter case aside) is sent nothing
// more once its version is known, and recorded "skipped"; one on another version is updated.
TEST_F(LineTest, ARepeaterOnTheExpectedVersionIsLeftAsItIs) {
  const struct {
    const char* name;
    uint16_t build;
    const char* expect;
    bool skipped;
  } cases[] = {
      {"current", 0x0ABC, "01.02.0ABC", true},  // letter case aside
      {"older", 0x0345, "01.03.0400", false},
  };
  const std::string fw = Write("fw.bin", std::string(2000, 's'));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    targets_.clear();
    sim::Config config = Updated("RX8251");
    config.build = c.build;
    Add(config);
    const std::string report = Path(std::string(c.name) + ".jsonl");
    const platform::SpawnResult r = Run({"-cmd", "update", "-fw", fw, "-expect", c.expect, "-skipcurrent", "-report",
                                         report});
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    const auto records = Lines(report);
    ASSERT_EQ(records.size(), 1u);
    if (c.skipped) {
      EXPECT_EQ(r.out, e2e::kBanner + "Product: SW Version 01.02.0abc\n\n" + e2e::kRule + "\n");
      EXPECT_EQ(r.err, "halvern: the repeater reports 01.02.0abc already: not updated\n");
      EXPECT_EQ(targets_[0]->Received().size(), 2u) << "hello and reset-communication only";
      EXPECT_EQ(targets_[0]->ResetCount(), 0);
    } else {
      EXPECT_NE(r.out.find("Verified: SW Version 01.02.0345 -> 01.03.0400\n"), std::string::npos) << r.out;
      EXPECT_EQ(Requests(0, kFwStart), 1);
    }
    EXPECT_EQ(FieldOf(records[0], "result"), c.skipped ? "\"skipped\"" : "\"ok\"");
    EXPECT_EQ(FieldOf(records[0], "reason"), "null");
    EXPECT_EQ(FieldOf(records[0], "message"), "null");
    EXPECT_EQ(FieldOf(records[0], "version_before"), c.skipped ? "\"01.02.0abc\"" : "\"01.02.0345\"");
    EXPECT_EQ(FieldOf(records[0], "version_after"), c.skipped ? "null" : "\"01.03.0400\"");
  }
}

// -skipcurrent in a watch: the skipped repeater counts as done (not served again when it comes
// back), the other one is updated, and the totals count both.
TEST_F(LineTest, AWatchCountsASkippedRepeaterAsDone) {
  sim::Config current = Updated("RX8261");
  current.product_version = 0x0103;
  current.build = 0x0400;
  Add(current, false);
  Add(Updated("RX8262"), false);
  const std::string report = Path("r.jsonl");
  StartWatch({"-cmd", "update", "-fw", Write("fw.bin", std::string(2000, 'w')), "-expect", "01.03.0400",
              "-skipcurrent", "-report", report});
  ASSERT_TRUE(targets_[0]->Plug());
  ASSERT_TRUE(WaitForCount("port 1, serial RX8261 ended: skipped", 1)) << tool_->Out();
  targets_[0]->Unplug();
  ASSERT_TRUE(targets_[1]->Plug());
  ASSERT_TRUE(WaitForCount("port 2, serial RX8262 ended: ok", 1)) << tool_->Out();
  ASSERT_TRUE(targets_[0]->Plug());
  ASSERT_TRUE(WaitForCount("port 1, serial RX8261 back again: served in this watch already, not served again "
                          "(0 working, 1 ok, 1 skipped, 0 failed)", 1))
      << tool_->Out();
  tool_->RequestStop();
  EXPECT_EQ(tool_->Wait(20000), 0) << tool_->Out();
  EXPECT_NE(tool_->Out().find("\n2 repeaters: 1 ok, 1 skipped\n"), std::string::npos) << tool_->Out();
  EXPECT_EQ(Requests(0, kFwStart), 0);
  EXPECT_EQ(Requests(1, kFwStart), 1);
  const auto records = Lines(report);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(FieldOf(records[0], "result"), "\"skipped\"");
  EXPECT_EQ(FieldOf(records[1], "result"), "\"ok\"");
  EXPECT_NE(tool_->Out().find("halvern: the repeater reports 01.03.0400 already: not updated\n"), std::string::npos)
      << "in the repeater's block";
}

}  // namespace
