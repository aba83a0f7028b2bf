// What the station checks before it touches a repeater: the command line (options nobody takes,
// the options it gives its own children, those it keeps to itself), the file it sends or reads,
// and that no other watch serves the same station.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "platform/child.h"

namespace {

using namespace std::chrono_literals;

using e2e::Lines;

// Repeaters RX7001, RX7002, ... on ports 1, 2, ... of one tree.
class ChecksTest : public ::testing::Test {
 protected:
  ~ChecksTest() override {
    for (auto& watch : watches_) watch.reset();
    while (!targets_.empty()) targets_.pop_back();  // the last laid out goes first
  }

  sim::Target& Add(sim::Config config = {}) {
    config.usb_serial = "RX" + std::to_string(7001 + targets_.size());
    auto target = std::make_unique<sim::Target>(config);
    EXPECT_TRUE(target->Start()) << target->LastError();
    EXPECT_TRUE(target->LayOutTree(Path("tree"), static_cast<uint8_t>(targets_.size() + 1))) << target->LastError();
    targets_.push_back(std::move(target));
    return *targets_.back();
  }

  std::vector<std::pair<std::string, std::string>> Env(const std::string& tree = "tree") const {
    return {{"HALVERN_SYSFS_ROOT", Path(tree + "/sys")}, {"HALVERN_DEV_ROOT", Path(tree + "/dev")},
            {"HALVERN_WAIT_MS", "6000"}};
  }
  platform::SpawnResult Run(std::vector<std::string> args, int timeout_ms = 60000) {
    args.insert(args.begin(), HALVERN_EXE);
    return platform::SpawnCapture(args, Env(), "", timeout_ms);
  }
  // A watch left running; true once it is watching.
  platform::Child& StartWatch(const std::vector<std::string>& args, const std::string& tree = "tree") {
    std::vector<std::string> argv = {HALVERN_EXE, "-p", "RX5120", "-watch"};
    argv.insert(argv.end(), args.begin(), args.end());
    watches_.push_back(std::make_unique<platform::Child>());
    EXPECT_TRUE(watches_.back()->Start(argv, Env(tree)));
    EXPECT_TRUE(watches_.back()->WaitForText("Watching for RX5120 repeaters", 10000)) << watches_.back()->Out();
    return *watches_.back();
  }

  std::string Path(const std::string& name) const { return (dir_.path() / name).string(); }
  std::string Write(const std::string& name, const std::string& text) {
    std::ofstream(Path(name), std::ios::binary) << text;
    return Path(name);
  }
  bool NothingReceived() const {
    for (const auto& t : targets_)
      if (!t->Received().empty()) return false;
    return true;
  }

  e2e::TempDir dir_;
  std::vector<std::unique_ptr<sim::Target>> targets_;
  std::vector<std::unique_ptr<platform::Child>> watches_;
};

TEST_F(ChecksTest, MisspeltAndHiddenOptionsRefuseStationRunsAndAreOnlyWarnedOfInClassicOnes) {
  Add();
  const std::string fw = Write("fw.bin", std::string(3000, 'F'));
  const std::string report = Path("w.jsonl");
  const struct {
    std::vector<std::string> args;
    std::string unknown;
  } refused[] = {
      {{"-p", "RX5120", "-cmd", "update", "-fw", fw, "-all", "-reprot", report}, "-reprot"},
      {{"-p", "RX5120", "-cmd", "update", "-fw", fw, "-watch", "-reprot", report}, "-reprot"},
      {{"-p", "RX5120", "-cmd", "update", "-fw", fw, "-verify", "-expct", "01.03.0400"}, "-expct"},
      {{"-port", "1", "-allchild", "-p", "RX5120", "-cmd", "update", "-fw", fw}, "-allchild"},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const auto r = Run(c.args);
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.out, e2e::kBanner);
    EXPECT_EQ(r.err, "halvern: unknown option '" + c.unknown + "'\n");
  }
  EXPECT_TRUE(NothingReceived());
  EXPECT_FALSE(std::filesystem::exists(report));

  // Only the classic options: the run is the one without the stray arguments, told on stderr.
  const auto plain = Run({"-p", "RX5120", "-cmd", "version"});
  const auto warned = Run({"-p", "RX5120", "-cmd", "version", "-reprot", report});
  EXPECT_EQ(warned.exit_status, plain.exit_status);
  EXPECT_EQ(warned.out, plain.out);
  EXPECT_EQ(warned.err, plain.err + "halvern: unknown option '-reprot'\n");
  EXPECT_FALSE(std::filesystem::exists(report));
}

// The children's command lines as the system shows them, read while they work.
std::vector<std::string> ChildCommandLines(const std::string& marker) {
  std::vector<std::string> found;
  const std::string head = std::string(HALVERN_EXE) + '\0' + "-port" + '\0';
  for (const auto& [pid, line] : e2e::CommandLines())
    if (line.starts_with(head) && line.find(marker) != std::string::npos) found.push_back(line);
  return found;
}

TEST_F(ChecksTest, WhatTheParentCarriesOutItselfNeverReachesAChild) {
  sim::Config paced;
  paced.paced = true;
  paced.pace_host_bytes = true;
  Add(paced);
  Add(paced);
  const std::string fw = Write("fw.bin", std::string(20000, 'F'));
  std::filesystem::create_directories(Path("logs"));
  platform::Child tool;
  ASSERT_TRUE(tool.Start({HALVERN_EXE, "-p", "RX5120", "-ondone", "echo HOOK-TEXT", "-cmd", "update", "-fw", fw,
                          "-logdir", Path("logs"), "-all", "-report", Path("r.jsonl")},
                         Env()));
  ASSERT_TRUE(targets_[1]->WaitForFrames(6, 20s)) << tool.Out();
  const std::vector<std::string> children = ChildCommandLines(fw);
  ASSERT_EQ(children.size(), 2u) << tool.Out();
  for (const std::string& line : children) {
    std::string shown = line;
    std::replace(shown.begin(), shown.end(), '\0', ' ');
    SCOPED_TRACE(shown);
    for (const char* kept_out : {"-ondone", "HOOK-TEXT", "-logdir", "/logs"})
      EXPECT_EQ(line.find(kept_out), std::string::npos) << kept_out;
    for (const std::string& passed_on : {std::string("-fw") + '\0' + fw + '\0', std::string("-report") + '\0'})
      EXPECT_NE(line.find(passed_on), std::string::npos) << passed_on;
  }
  EXPECT_EQ(tool.Finish(60000), 0) << tool.Out() << tool.Err();
  EXPECT_EQ(Lines(Path("r.jsonl")).size(), 2u);
}

// A file fault is told before any repeater is touched: -all and -watch end with 1 and the file
// (and its line) named, no child started, nothing on the wire.
TEST_F(ChecksTest, TheFileIsCheckedBeforeAnyRepeaterIsTouched) {
  Add();
  Add();
  std::filesystem::create_directories(Path("adir"));
  const std::string none = Path("none.bin"), empty = Write("empty.bin", ""), adir = Path("adir");
  const std::string pill = Write("empty.pill", "");
  const std::string wrong_format = Write("format.txt", "# gain\n0x0010:b:12\n16:W:12\n");
  const std::string not_hex = Write("nothex.txt", "0x0010:b:12\n\n0x0011:w:12zz\n");
  const std::string wrong_line = Write("line.txt", "0x0010:b:1\nxyz\n");
  const std::string too_long = Write("long.txt", "0x0010:a:600\n");
  const std::string long_line =  // a long comment is one line, whatever it holds
      Write("longline.txt", std::string(1, '#').append(300, '-') + "\n0x0010:a:" + std::string(260, 'A') + ";\n");
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"-cmd", "update", "-fw", none}, "firmware file '" + none + "': No such file or directory"},
      {{"-cmd", "update", "-fw", empty}, "firmware file '" + empty + "' is empty"},
      {{"-cmd", "update", "-fw", adir}, "firmware file '" + adir + "' is a directory"},
      {{"-cmd", "pill_upd", "-pill", pill, "-lang", "1"}, "PILL file '" + pill + "' is empty"},
      {{"-cmd", "param_set", "-settings", wrong_format}, "settings file '" + wrong_format + "' line 3: wrong format 'W'"},
      {{"-cmd", "param_set", "-settings", not_hex}, "settings file '" + not_hex + "' line 3: '12zz' is not hexadecimal"},
      {{"-cmd", "param_get", "-settings", wrong_line}, "settings file '" + wrong_line + "' line 2: wrong line"},
      {{"-cmd", "param_get", "-settings", too_long}, "settings file '" + too_long + "' line 1: length 600 is above 512"},
      {{"-cmd", "param_set", "-settings", long_line},
       "settings file '" + long_line + "' line 2: longer than 254 characters"},
  };
  for (const char* station : {"-all", "-watch"}) {
    for (const auto& c : cases) {
      std::vector<std::string> args = {"-p", "RX5120", station, "-report", Path("r.jsonl")};
      args.insert(args.end(), c.args.begin(), c.args.end());
      SCOPED_TRACE(::testing::PrintToString(args));
      const auto r = Run(args, 20000);
      EXPECT_EQ(r.exit_status, 1);
      EXPECT_EQ(r.out, e2e::kBanner);
      EXPECT_EQ(r.err, "halvern: " + c.err + "\n");
    }
  }
  EXPECT_TRUE(NothingReceived());
  EXPECT_FALSE(std::filesystem::exists(Path("r.jsonl")));
}

// A path with {serial} is checked per repeater, in its own run, before its link: the repeater
// whose file is missing gets nothing and a record that says so; the other one is served.
TEST_F(ChecksTest, APerRepeaterFileMissingForOneRepeaterFailsOnlyThatOneWithAFileRecord) {
  Add();
  Add();
  Write("fw_RX7001.bin", std::string(3000, 'F'));
  const std::string report = Path("r.jsonl");
  const auto r = Run({"-p", "RX5120", "-cmd", "update", "-fw", Path("fw_{serial}.bin"), "-all", "-report", report});
  EXPECT_EQ(r.exit_status, 1) << r.out;
  EXPECT_TRUE(targets_[0]->FirmwareEnded());
  EXPECT_TRUE(targets_[1]->Received().empty());
  EXPECT_NE(r.out.find("halvern: firmware file '" + Path("fw_RX7002.bin") + "': No such file or directory\n"),
            std::string::npos)
      << r.out;
  const auto lines = Lines(report);
  ASSERT_EQ(lines.size(), 2u) << r.out;
  for (const std::string& line : lines) {
    SCOPED_TRACE(line);
    const bool second = line.find("\"serial\":\"RX7002\"") != std::string::npos;
    EXPECT_NE(line.find(second ? "\"result\":\"failed\"" : "\"result\":\"ok\""), std::string::npos);
    EXPECT_EQ(line.find("\"reason\":\"file\"") != std::string::npos, second);
  }
}

// The file may be replaced while a watch runs: each repeater's run checks it again before its link.
TEST_F(ChecksTest, AWatchChecksTheFileAgainBeforeEachRepeater) {
  sim::Target& first = Add();
  sim::Target& second = Add();
  first.Unplug();
  second.Unplug();
  const std::string fw = Write("fw.bin", std::string(3000, 'F'));
  platform::Child& watch = StartWatch({"-cmd", "update", "-fw", fw, "-report", Path("r.jsonl")});
  Write("fw.bin", "");
  ASSERT_TRUE(first.Plug());
  ASSERT_TRUE(watch.WaitForText("serial RX7001 ended: failed", 20000)) << watch.Out();
  Write("fw.bin", std::string(3000, 'F'));
  ASSERT_TRUE(second.Plug());
  ASSERT_TRUE(watch.WaitForText("serial RX7002 ended: ok", 20000)) << watch.Out();
  watch.RequestStop();
  EXPECT_EQ(watch.Wait(20000), 1) << watch.Out();
  EXPECT_TRUE(first.Received().empty());
  EXPECT_NE(watch.Out().find("halvern: firmware file '" + fw + "' is empty\n"), std::string::npos) << watch.Out();
  const auto lines = Lines(Path("r.jsonl"));
  ASSERT_EQ(lines.size(), 2u) << watch.Out();
  EXPECT_NE(lines[0].find("\"reason\":\"file\""), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("\"message\":\"firmware file '"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("\"result\":\"ok\""), std::string::npos) << lines[1];
}

TEST_F(ChecksTest, ASecondWatchOfTheSameStationIsRefusedNamingTheFirst) {
  Add().Unplug();
  const std::string fw = Write("fw.bin", std::string(3000, 'F'));
  platform::Child& first = StartWatch({"-cmd", "update", "-fw", fw});
  const auto second = Run({"-p", "RX5120", "-cmd", "version", "-watch"}, 20000);
  EXPECT_EQ(second.exit_status, 255);
  EXPECT_EQ(second.out, e2e::kBanner);
  EXPECT_EQ(second.err, "halvern: another watch serves the RX5120 repeaters of this station: process " +
                            std::to_string(first.Pid()) + "\n");
  // Another device tree is another station.
  std::filesystem::create_directories(Path("other/dev"));
  std::filesystem::create_directories(Path("other/sys"));
  platform::Child& other = StartWatch({"-cmd", "version"}, "other");
  other.RequestStop();
  EXPECT_EQ(other.Wait(20000), 0) << other.Out() << other.Err();
  // The lock dies with its holder, however it ends.
  ::kill(first.Pid(), SIGKILL);
  first.Wait(20000);
  platform::Child& next = StartWatch({"-cmd", "version"});
  next.RequestStop();
  EXPECT_EQ(next.Wait(20000), 0) << next.Out() << next.Err();
}

}  // namespace
