// update -verify and -expect against a simulated repeater that restarts as a real one does:
// it goes away after the restart request and comes back on its port with its serial number.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/child.h"
#include "tests/e2e_support.h"

namespace e2e {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string kClosing = "\n" + kRule + "\n";
// A one-chunk image: the version block, "Update Start" and the success block, no counter.
const std::string kUpdated = "Product: SW Version 01.02.0345\n\n" + kRule + "\nUpdate Start\n" + kClosing +
                             "\nFW Update successfully finished\n" + kClosing;
const std::string kVerifyOnlyUpdate = "[ERROR] -verify and -expect work only with update\n";
const std::string kBadExpect =
    "[ERROR] -expect needs a version written as xx.xx.xxxx in hexadecimal digits, e.g. 01.03.0400\n";

sim::Config Restarting(int ms, uint16_t version_after = 0x0103, uint16_t build_after = 0x0400) {
  sim::Config config;
  config.restart_ms = ms;
  config.version_after = version_after;
  config.build_after = build_after;
  return config;
}

std::string FirstLine(const std::string& path) {
  std::string line;
  std::getline(std::ifstream(path), line);
  return line;
}

class VerifyTest : public SimTest {
 protected:
  std::string Image() {
    const fs::path path = dir_.path() / "fw.bin";
    std::ofstream(path, std::ios::binary) << std::string(100, 'F');
    return path.string();
  }
  std::vector<std::string> UpdateArgs(const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"-p", "RX5120", "-cmd", "update", "-fw", Image()};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }
};

TEST_F(VerifyTest, SimulatedRepeaterRestartsOnItsPortWithItsSerialNumber) {
  StartTarget(Restarting(1500));  // away long enough to be seen away, however slowly the reboot run ends
  const std::string node = DevRoot() + "/ttyACM0";
  EXPECT_EQ(Run({"-p", "RX5120", "-cmd", "reboot"}).exit_status, 0);
  ASSERT_TRUE(target_->WaitForPresent(false, 5s));
  EXPECT_FALSE(fs::exists(fs::symlink_status(node)));
  EXPECT_FALSE(fs::exists(SysfsRoot() + "/class/tty/ttyACM0"));
  EXPECT_FALSE(fs::exists(SysfsRoot() + "/devices/usb1/1-1"));
  ASSERT_TRUE(target_->WaitForPresent(true, 5s));
  EXPECT_EQ(target_->RestartCount(), 1);
  EXPECT_EQ(fs::read_symlink(node).string(), target_->DevicePath());  // a new line on the same port
  EXPECT_EQ(FirstLine(SysfsRoot() + "/devices/usb1/1-1/serial"), "SIM51200001");
  // A reboot is no update: the version stays.
  EXPECT_NE(Run({"-p", "RX5120", "-cmd", "version"}).out.find("SW Version 01.02.0345"), std::string::npos);
}

TEST_F(VerifyTest, VerifyShowsTheVersionAfterTheRestartAndChecksTheOneExpected) {
  const struct {
    const char* name;
    sim::Config config;
    std::vector<std::string> extra;
    const char* wait_ms;  // HALVERN_WAIT_MS, the scaled wait
    int status;
    std::string after;   // what follows the update's own output
    std::string record;  // the service record's version_after and result
  } cases[] = {
      {"no -verify: the update as always", Restarting(200), {}, nullptr, 0, "",
       R"("version_after":null,)"},
      {"verified", Restarting(200), {"-verify"}, nullptr, 0, "Verified: SW Version 01.02.0345 -> 01.03.0400\n",
       R"("version_after":"01.03.0400",)"},
      {"expected, case ignored", Restarting(200, 0x0A0B, 0x0C0D), {"-expect", "0A.0b.0C0d"}, nullptr, 0,
       "Verified: SW Version 01.02.0345 -> 0a.0b.0c0d\n", R"("version_after":"0a.0b.0c0d",)"},
      {"another version", Restarting(200), {"-expect", "01.03.0401"}, nullptr, 1,
       "Restarted: SW Version 01.02.0345 -> 01.03.0400\n"
       "[ERROR] Expected SW Version 01.03.0401, the repeater reports 01.03.0400\n",
       R"("version_after":"01.03.0400",)"},
      {"never back", Restarting(20000), {"-verify"}, "1500", 1,
       "[ERROR] The repeater did not come back within 1.5 s\n", R"("version_after":null,)"},
      {"never away", sim::Config{}, {"-verify"}, "1500", 1, "[ERROR] The repeater did not restart within 1.5 s\n",
       R"("version_after":null,)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StartTarget(c.config);
    extra_env_.clear();
    if (c.wait_ms) extra_env_.emplace_back("HALVERN_WAIT_MS", c.wait_ms);
    const std::string report = (dir_.path() / "report.jsonl").string();
    fs::remove(report);
    std::vector<std::string> extra = c.extra;
    extra.insert(extra.end(), {"-report", report});
    const auto r = Run(UpdateArgs(extra));
    EXPECT_EQ(r.out, kBanner + kUpdated + c.after);
    EXPECT_EQ(r.exit_status, c.status);
    // The version read after the restart is recorded also when it is not the one expected.
    const std::string line = FirstLine(report);
    EXPECT_NE(line.find(c.record), std::string::npos) << line;
    EXPECT_NE(line.find(c.status == 0 ? R"("result":"ok")" : R"("result":"failed")"), std::string::npos) << line;
  }
}

TEST_F(VerifyTest, VerifyBelongsToUpdateAndExpectToAVersion) {
  StartTarget();
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"-cmd", "version", "-verify"}, kVerifyOnlyUpdate},
      {{"-cmd", "reboot", "-expect", "01.03.0400"}, kVerifyOnlyUpdate},
      {{"-cmd", "update", "-expect", "1.3.400"}, kBadExpect},
      {{"-cmd", "update", "-expect", "01.03.040g"}, kBadExpect},
      {{"-cmd", "update", "-expect", "01.03.04000"}, kBadExpect},
      {{"-cmd", "update", "-expect"}, kBadExpect},
  };
  for (const auto& [extra, message] : cases) {
    SCOPED_TRACE(::testing::PrintToString(extra));
    std::vector<std::string> args = {"-p", "RX5120", "-fw", Image()};
    args.insert(args.end(), extra.begin(), extra.end());
    const auto r = Run(args);
    EXPECT_EQ(r.out, kBanner + message);
    EXPECT_EQ(r.exit_status, 255);
  }
  EXPECT_TRUE(target_->Received().empty());  // refused before any repeater was touched
}

TEST_F(VerifyTest, AStopWhileWaitingForTheRepeaterEndsTheRun) {
  StartTarget(Restarting(20000));
  platform::Child tool;
  std::vector<std::string> args = UpdateArgs({"-verify"});
  args.insert(args.begin(), HALVERN_EXE);
  ASSERT_TRUE(tool.Start(args, Env()));
  ASSERT_TRUE(target_->WaitForPresent(false, 10s));
  ASSERT_TRUE(tool.WaitForText("FW Update successfully finished", 5000));
  tool.Interrupt();
  EXPECT_EQ(tool.Wait(5000), 1);
  EXPECT_EQ(tool.Out(), kBanner + kUpdated + "\n[ERROR] Stopped on request\n");
}

TEST_F(VerifyTest, EveryRepeaterOfAnAllRunVerifiesItsOwn) {
  std::vector<std::unique_ptr<sim::Target>> targets;
  for (int i = 0; i < 2; ++i) {
    sim::Config config = Restarting(300 + 300 * i, static_cast<uint16_t>(0x0201 + i));
    config.usb_serial = "RX" + std::to_string(7001 + i);
    targets.push_back(std::make_unique<sim::Target>(config));
    ASSERT_TRUE(targets.back()->Start());
    ASSERT_TRUE(targets.back()->LayOutTree((dir_.path() / "tree").string(), static_cast<uint8_t>(i + 1)));
  }
  std::vector<std::string> args = UpdateArgs({"-all", "-verify"});
  args.insert(args.begin(), HALVERN_EXE);
  const auto r = platform::SpawnCapture(
      args, {{"HALVERN_SYSFS_ROOT", targets[0]->SysfsRoot()}, {"HALVERN_DEV_ROOT", targets[0]->DevRoot()}}, "", 60000);
  EXPECT_EQ(r.exit_status, 0) << r.out;
  for (int i = 0; i < 2; ++i) {
    const std::string block = "----- port " + std::to_string(i + 1) + ", serial RX" + std::to_string(7001 + i) +
                              " -----\n" + kBanner + kUpdated + "Verified: SW Version 01.02.0345 -> 02.0" +
                              std::to_string(i + 1) + ".0400\n";
    EXPECT_NE(r.out.find(block), std::string::npos) << r.out;
    EXPECT_EQ(targets[i]->RestartCount(), 1);
  }
  while (!targets.empty()) targets.pop_back();  // the last laid out goes first
}

}  // namespace
}  // namespace e2e

namespace e2e {
namespace {

// rx5120-sim --control: repeaters unplugged and plugged in again through the pipe while the
// command runs with standard input of its own.
TEST(SimControl, RepeatersArePluggedAndUnpluggedThroughThePipe) {
  TempDir dir;
  const std::string fifo = (dir.path() / "control").string();
  const std::string list = std::string(HALVERN_EXE) + " -p RX5120 -cmd list | grep COM; ";
  const std::string script = "echo 'unplug 2' > " + fifo + "; sleep 0.5; " + list + "echo 'plug 2' > " + fifo +
                             "; sleep 0.5; " + list + "echo 'plug 9' > " + fifo + "; sleep 0.3";
  const auto r = platform::SpawnCapture({RX5120_SIM_EXE, "--count", "2", "--control", fifo,
                                         (dir.path() / "tree").string(), "--", "sh", "-c", script},
                                        {}, "", 30000);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  const std::string one = "COM1    RX5120-0001    01.02.0345     ";
  const std::string two = "COM2    RX5120-0002    01.02.0345     ";
  const std::string tree = (dir.path() / "tree" / "dev").string();
  EXPECT_EQ(r.out, one + tree + "/ttyACM0\n" + one + tree + "/ttyACM0\n" + two + tree + "/ttyACM1\n");
  EXPECT_NE(r.err.find("rx5120-sim: control: not understood: plug 9"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(fifo));  // made by the simulator, removed by it
}

}  // namespace
}  // namespace e2e
