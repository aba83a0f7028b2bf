// -all: the built tool serving several simulated repeaters in one tree at once.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "station/all_repeaters.h"
#include "e2e_support.h"
#include "params/param_file.h"
#include "platform/child.h"

namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

constexpr uint16_t kFwNext = 0x0010;

Bytes Pattern(size_t n, unsigned seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>((i * 131 + seed * 7 + (i >> 8)) & 0xFF);
  return b;
}

// Repeaters on ports 1..n of one tree, each with its own version and serial number.
class AllTest : public ::testing::Test {
 protected:
  ~AllTest() override {
    while (!targets_.empty()) targets_.pop_back();  // the last laid out goes first
  }

  void StartTargets(int n, sim::Config base = {}) {
    for (int i = 0; i < n; ++i) {
      sim::Config config = base;
      config.product_version = static_cast<uint16_t>(0x0101 + i);
      config.usb_serial = "RX" + std::to_string(7001 + i);
      auto target = std::make_unique<sim::Target>(config);
      ASSERT_TRUE(target->Start()) << target->LastError();
      ASSERT_TRUE(target->LayOutTree(Path("tree"), static_cast<uint8_t>(i + 1))) << target->LastError();
      targets_.push_back(std::move(target));
    }
  }

  // Repeaters of one version on ports 1..n with the serial numbers given.
  void StartWithSerials(const std::vector<std::string>& serials) {
    for (size_t i = 0; i < serials.size(); ++i) {
      sim::Config config;
      config.usb_serial = serials[i];
      auto target = std::make_unique<sim::Target>(config);
      ASSERT_TRUE(target->Start()) << target->LastError();
      ASSERT_TRUE(target->LayOutTree(Path("tree"), static_cast<uint8_t>(i + 1))) << target->LastError();
      targets_.push_back(std::move(target));
    }
  }

  std::vector<std::pair<std::string, std::string>> Env() const {
    if (targets_.empty()) return {{"HALVERN_SYSFS_ROOT", Path("nosys")}, {"HALVERN_DEV_ROOT", Path("nodev")}};
    return {{"HALVERN_SYSFS_ROOT", targets_[0]->SysfsRoot()}, {"HALVERN_DEV_ROOT", targets_[0]->DevRoot()}};
  }

  platform::SpawnResult Run(std::vector<std::string> args, int timeout_ms = 60000) {
    args.insert(args.begin(), HALVERN_EXE);
    return platform::SpawnCapture(args, Env(), "", timeout_ms);
  }

  std::string Path(const std::string& name) const { return (dir_.path() / name).string(); }
  std::string Write(const std::string& name, const Bytes& bytes) {
    std::ofstream(Path(name), std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                     static_cast<std::streamsize>(bytes.size()));
    return Path(name);
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  e2e::TempDir dir_;
  std::vector<std::unique_ptr<sim::Target>> targets_;
};

std::string Header(int port, const std::string& serial) {
  return "----- port " + std::to_string(port) + ", serial " + serial + " -----\n";
}

// The block of one repeater: from its header up to the next header or the summary.
std::string Block(const std::string& out, int port, const std::string& serial) {
  size_t at = out.find(Header(port, serial));
  if (at == std::string::npos) return "";
  size_t end = std::min(out.find("----- port ", at + 1), out.find("\nport  serial", at));
  return out.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// The summary line of one port.
std::string SummaryLine(const std::string& out, int port, const std::string& serial) {
  char head[64];
  std::snprintf(head, sizeof head, "\n%4d  %-20s", port, serial.c_str());
  size_t at = out.find(head, out.find("\nport  serial"));
  if (at == std::string::npos) return "";
  return out.substr(at + 1, out.find('\n', at + 1) - at - 1);
}

TEST_F(AllTest, UpdatesEveryRepeaterAtOnceWithItsOwnImageInItsOwnBlock) {
  StartTargets(4);
  // "{serial}" in the path names each repeater's own image.
  std::vector<Bytes> images;
  for (int i = 0; i < 4; ++i) {
    images.push_back(Pattern(20000 + 3000 * i, 3 + i));
    Write("fw_RX" + std::to_string(7001 + i) + ".bin", images.back());
  }
  auto r = Run({"-p", "RX5120", "-cmd", "update", "-fw", Path("fw_{serial}.bin"), "-all"});
  EXPECT_EQ(r.exit_status, 0) << r.out;
  for (int i = 0; i < 4; ++i) {
    const std::string serial = "RX" + std::to_string(7001 + i);
    SCOPED_TRACE(serial);
    EXPECT_EQ(targets_[i]->FirmwareImage(), images[i]);
    EXPECT_TRUE(targets_[i]->FirmwareEnded());
    // The restart request is the child's last frame: it may still be on its way when the run ends.
    EXPECT_TRUE(targets_[i]->WaitForEvent(0x001C, 2s));
    EXPECT_EQ(targets_[i]->ResetCount(), 1);
    // Its own version, and its whole output in one piece.
    const std::string block = Block(r.out, i + 1, serial);
    char version[32];
    std::snprintf(version, sizeof version, "01.%02x.0345", 1 + i);
    EXPECT_NE(block.find(std::string("Product: SW Version ") + version), std::string::npos) << block;
    EXPECT_NE(block.find("FW Update successfully finished"), std::string::npos) << block;
    const std::string line = SummaryLine(r.out, i + 1, serial);
    EXPECT_NE(line.find(version), std::string::npos) << line;
    EXPECT_NE(line.find(" ok "), std::string::npos) << line;
    EXPECT_NE(line.find(" " + std::to_string(images[i].size()) + " "), std::string::npos) << line;
  }
}

TEST_F(AllTest, ARepeaterWithoutItsOwnFileFailsAloneWithTheUsualLines) {
  StartTargets(2);
  const Bytes image = Pattern(3000, 5);
  Write("fw_1.bin", image);  // none for port 2
  auto r = Run({"-p", "RX5120", "-cmd", "update", "-fw", Path("fw_{port}.bin"), "-all"});
  EXPECT_EQ(r.exit_status, 1) << r.out;
  EXPECT_EQ(targets_[0]->FirmwareImage(), image);
  EXPECT_NE(SummaryLine(r.out, 1, "RX7001").find(" ok "), std::string::npos) << r.out;
  EXPECT_NE(SummaryLine(r.out, 2, "RX7002").find(" failed "), std::string::npos) << r.out;
  // The child says which file it looked for (the one named for its repeater) before its link
  // opens: that repeater is not touched.
  EXPECT_NE(Block(r.out, 2, "RX7002").find("halvern: firmware file '" + Path("fw_2.bin") + "': No such file"),
            std::string::npos)
      << r.out;
  EXPECT_TRUE(targets_[1]->FirmwareImage().empty());
  EXPECT_TRUE(targets_[1]->Received().empty());
}

TEST_F(AllTest, AFailingRepeaterNeverStopsTheOthers) {
  StartTargets(4);
  sim::Fault refuse;
  refuse.result = 1;
  refuse.after = 3;
  targets_[1]->SetFault(kFwNext, refuse);
  sim::Fault unplug;
  unplug.hang_up = true;
  unplug.after = 5;
  targets_[2]->SetFault(kFwNext, unplug);
  const Bytes image = Pattern(8000, 9);
  auto r = Run({"-p", "RX5120", "-cmd", "update", "-fw", Write("fw.bin", image), "-all"});
  EXPECT_EQ(r.exit_status, 1) << r.out;
  for (int i : {0, 3}) {
    EXPECT_EQ(targets_[i]->FirmwareImage(), image);
    EXPECT_NE(SummaryLine(r.out, i + 1, "RX" + std::to_string(7001 + i)).find(" ok "), std::string::npos) << r.out;
  }
  EXPECT_NE(SummaryLine(r.out, 2, "RX7002").find(" failed "), std::string::npos) << r.out;
  EXPECT_NE(SummaryLine(r.out, 3, "RX7003").find(" disconnected "), std::string::npos) << r.out;
  EXPECT_NE(Block(r.out, 3, "RX7003").find("[ERROR] The repeater was disconnected"), std::string::npos) << r.out;
  EXPECT_FALSE(targets_[1]->FirmwareEnded());
}

TEST_F(AllTest, ParamGetWritesOneFilePerRepeaterNamedWithItsSerial) {
  StartTargets(2);
  for (int i = 0; i < 2; ++i) targets_[i]->SetParamArea(16, {static_cast<uint8_t>(0x40 + i)});
  const std::string settings = Write("get.txt", Bytes{'1', '6', ':', 'b', ':', '\n'});
  // A repeater chosen along with -all does not narrow it down.
  auto r = Run({"-p", "RX5120", "-cmd", "param_get", "-settings", settings, "-all", "-port", "2"});
  EXPECT_EQ(r.exit_status, 0) << r.out;
  EXPECT_EQ(Read(Path("get_01_01_0345_RX7001.out")), "16:b:40\n");
  EXPECT_EQ(Read(Path("get_01_02_0345_RX7002.out")), "16:b:41\n");
  EXPECT_FALSE(std::filesystem::exists(Path("get_01_01_0345.out")));
}

TEST(ParamOutName, TagIsAddedOnlyWhenGiven) {
  EXPECT_EQ(cmParamOutFileName("dir/get.txt", 0x0102, 0x0345), "dir/get_01_02_0345.out");
  EXPECT_EQ(cmParamOutFileName("dir/get.txt", 0x0102, 0x0345, "RX1"), "dir/get_01_02_0345_RX1.out");
}

TEST_F(AllTest, ASerialNumberNeverLeadsTheOutputIntoAnotherDirectory) {
  sim::Config config;
  config.usb_serial = "../x";
  targets_.push_back(std::make_unique<sim::Target>(config));
  ASSERT_TRUE(targets_[0]->Start());
  ASSERT_TRUE(targets_[0]->LayOutTree(Path("tree"), 1));
  std::filesystem::create_directories(Path("in"));
  const std::string settings = Write("in/get.txt", Bytes{'1', '6', ':', 'b', ':', '\n'});
  auto r = Run({"-p", "RX5120", "-cmd", "param_get", "-settings", settings, "-all"});
  EXPECT_EQ(r.exit_status, 0) << r.out;
  EXPECT_TRUE(std::filesystem::exists(Path("in/get_01_02_0345____x.out"))) << r.out;
}

TEST_F(AllTest, ConsolesAndOtherCommandsRefuseIt) {
  StartTargets(1);
  for (const char* command : {"params", "log", "tracer", "date2pill", "nonsense"}) {
    SCOPED_TRACE(command);
    auto r = Run({"-p", "RX5120", "-cmd", command, "-all"});
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_NE(r.out.find("[ERROR] -all works only with update, pill_upd, param_get, param_set, version, reboot, "
                         "power_off and fact_reset\n"),
              std::string::npos)
        << r.out;
  }
  EXPECT_TRUE(targets_[0]->Received().empty());
}

TEST_F(AllTest, AMissingOptionEndsTheRunAsASingleRunWouldBeforeAnyRepeaterIsTouched) {
  StartTargets(2);
  const std::string pill = Write("p.pill", Pattern(600, 2));
  const std::string usage = e2e::kUsage;
  const struct {
    std::vector<std::string> args;
    std::string out;
    int status;
  } cases[] = {
      {{"-cmd", "pill_upd", "-pill", pill, "-all", "-lang"}, "\nPILL language mandatory!\n" + usage, 255},
      {{"-cmd", "pill_upd", "-all", "-pill", pill}, "\nPILL language mandatory!\n" + usage, 255},
      {{"-cmd", "pill_upd", "-lang", "3", "-all", "-pill"}, "\nPILL file name missing!\n" + usage, 255},
      {{"-cmd", "update", "-all"}, "\nFW file not defined\n", 1},
      {{"-cmd", "update", "-all", "-fw"}, usage, 255},
      {{"-cmd", "param_get", "-all", "-settings"}, "File NOT defined\n", 1},
      {{"-cmd", "param_set", "-all", "-tfile", "x", "-settings"}, "File NOT defined\n", 1},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"-p", "RX5120"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    auto r = Run(args);
    SCOPED_TRACE(c.args.front() + " " + c.args[1] + " ... " + c.args.back());
    EXPECT_EQ(r.out, e2e::kBanner + c.out);
    EXPECT_EQ(r.exit_status, c.status);
  }
  for (const auto& target : targets_) EXPECT_TRUE(target->Received().empty());
}

TEST_F(AllTest, EveryChildReadsTheOptionsAsTheUserTypedThem) {
  StartTargets(2);
  // A trailing option without its value changes nothing in a single run; a child must not give
  // it one of its own options as the value.
  const Bytes image = Pattern(700, 4);
  auto pill = Run({"-p", "RX5120", "-cmd", "pill_upd", "-lang", "5", "-pill", Write("p.pill", image), "-all", "-lang"});
  EXPECT_EQ(pill.exit_status, 0) << pill.out;
  for (const auto& target : targets_) {
    EXPECT_EQ(target->PillLanguage(), 5u);
    EXPECT_EQ(target->PillSize(), image.size());
  }
  const std::string settings = Write("get.txt", Bytes{'1', '6', ':', 'b', ':', '\n'});
  auto get = Run({"-p", "RX5120", "-cmd", "param_get", "-settings", settings, "-all", "-sn", "RX7001", "-settings"});
  EXPECT_EQ(get.exit_status, 0) << get.out;
  EXPECT_TRUE(std::filesystem::exists(Path("get_01_01_0345_RX7001.out"))) << get.out;
  EXPECT_TRUE(std::filesystem::exists(Path("get_01_02_0345_RX7002.out"))) << get.out;
}

TEST_F(AllTest, RepeatersWhoseOutputsWouldShareANameEachGetTheirOwn) {
  const struct {
    std::vector<std::string> serials;
    std::string settings;  // {serial}: one settings file read by both, as their names coincide too
    std::vector<std::string> outs;
  } cases[] = {
      {{"RX 0001", "RX/0001"}, "get.txt", {"get_01_02_0345_RX_0001_COM1.out", "get_01_02_0345_RX_0001_COM2.out"}},
      {{"RX5120-0001", "RX5120-0001"},
       "get.txt",
       {"get_01_02_0345_RX5120-0001_COM1.out", "get_01_02_0345_RX5120-0001_COM2.out"}},
      {{"A:1", "A?1"},
       "get_{serial}.txt",
       {"get_A_1_01_02_0345_A_1_COM1.out", "get_A_1_01_02_0345_A_1_COM2.out"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.serials[1]);
    targets_.clear();
    StartWithSerials(c.serials);
    for (int i = 0; i < 2; ++i) targets_[i]->SetParamArea(16, {static_cast<uint8_t>(0x40 + i)});
    std::string settings = c.settings;
    if (const size_t at = settings.find("{serial}"); at != std::string::npos) settings.replace(at, 8, "A_1");
    Write(settings, Bytes{'1', '6', ':', 'b', ':', '\n'});
    auto r = Run({"-p", "RX5120", "-cmd", "param_get", "-settings", Path(c.settings), "-all"});
    EXPECT_EQ(r.exit_status, 0) << r.out;
    EXPECT_EQ(Read(Path(c.outs[0])), "16:b:40\n");
    EXPECT_EQ(Read(Path(c.outs[1])), "16:b:41\n");
    EXPECT_NE(r.err.find("halvern: the repeaters on COM1, COM2 would write one output file"), std::string::npos)
        << r.err;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path()))
      if (entry.path().extension() == ".out") std::filesystem::remove(entry.path());
  }
}

TEST(AllLiveLines, EachLineFitsItsRowAndTooManyFoldIntoTheTotal) {
  const std::string wide(70, 'x');
  const std::string umlauts = "port 1  " + std::string(30, 'a') + "\xC3\x84\xC3\x84";  // two 2-byte characters
  const struct {
    std::vector<std::string> lines;
    int columns, rows;
    std::vector<std::string> shown;
  } cases[] = {
      {{"a", "b"}, 80, 24, {"a", "b"}},
      {{wide, wide, wide, wide}, 60, 24, std::vector<std::string>(4, std::string(59, 'x'))},
      {{"a", "b", "c"}, 80, 4, {"a", "b", "c"}},
      {{"a", "b", "c", "d"}, 80, 4, {"total"}},
      {{wide}, 1, 24, {"x"}},
      {{umlauts}, 40, 24, {"port 1  " + std::string(30, 'a')}},
      {{umlauts}, 42, 24, {"port 1  " + std::string(30, 'a') + "\xC3\x84"}},  // never half a character
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.columns) + "x" + std::to_string(c.rows));
    EXPECT_EQ(cmAllLiveLines(c.lines, "total", c.columns, c.rows), c.shown);
  }
}

TEST_F(AllTest, NoRepeaterIsThePresenceError) {
  auto r = Run({"-p", "RX5120", "-cmd", "version", "-all"});
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.out, e2e::kBanner + "[ERROR]Product is not plugged in PC\n");
}

TEST_F(AllTest, InterruptStopsEveryChildAfterAWholeFrame) {
  sim::Config paced;
  paced.paced = true;
  paced.pace_host_bytes = true;
  StartTargets(3, paced);
  platform::Child tool;
  ASSERT_TRUE(tool.Start({HALVERN_EXE, "-p", "RX5120", "-cmd", "update", "-fw", Write("fw.bin", Pattern(100000, 1)),
                          "-all"},
                         Env()));
  for (auto& target : targets_) ASSERT_TRUE(target->WaitForFrames(12, 20s));
  tool.Interrupt();
  EXPECT_EQ(tool.Finish(30000), 1) << tool.Out();
  EXPECT_FALSE(tool.TimedOut());
  for (int i = 0; i < 3; ++i) {
    const std::string serial = "RX" + std::to_string(7001 + i);
    SCOPED_TRACE(serial);
    EXPECT_NE(SummaryLine(tool.Out(), i + 1, serial).find(" interrupted "), std::string::npos) << tool.Out();
    EXPECT_NE(Block(tool.Out(), i + 1, serial).find("[ERROR] Stopped on request"), std::string::npos) << tool.Out();
    EXPECT_FALSE(targets_[i]->FirmwareEnded());
    // Every byte the target took in belongs to a whole frame: nothing was cut off mid-frame.
    std::this_thread::sleep_for(300ms);  // paced: the last bytes may still be crossing the line
    size_t framed = 0;
    for (const auto& frame : targets_[i]->Received()) framed += frame.wire.size();
    EXPECT_EQ(framed, targets_[i]->ReceivedBytes().size());
  }
}

// Running processes of the tool (-all's children or not) whose command line names text.
std::vector<int> ToolProcesses(const std::string& text, bool children) {
  std::vector<int> pids;
  for (const auto& [pid, line] : e2e::CommandLines())
    if (line.starts_with(std::string(HALVERN_EXE) + '\0') && line.find(text) != std::string::npos &&
        (line.find("-allchild") != std::string::npos) == children)
      pids.push_back(pid);
  return pids;
}

TEST_F(AllTest, ALostParentLeavesNoChildRunning) {
  // The tool's output goes to cat, or (signal 0) to a reader that reads nothing and goes away
  // once the file $0 exists. The tool's exit status follows on standard error.
  const std::string script = "{ \"$@\"; echo \"exit $?\" >&2; } | "
                             "if [ \"$0\" = - ]; then cat; else until [ -e \"$0\" ]; do sleep 0.05; done; fi";
  const std::pair<int, const char*> cases[] = {{SIGHUP, "exit 1\n"}, {SIGKILL, "exit 137\n"}, {0, "exit 1\n"}};
  const std::string image = Write("fw.bin", Pattern(100000, 1)), gone = Path("reader_gone");
  for (const auto& [signal, status] : cases) {
    SCOPED_TRACE(signal);
    while (!targets_.empty()) targets_.pop_back();
    sim::Config paced;
    paced.paced = paced.pace_host_bytes = true;
    StartTargets(3, paced);
    platform::Child shell;
    ASSERT_TRUE(shell.Start({"/bin/sh", "-c", script, signal ? "-" : gone, HALVERN_EXE, "-p", "RX5120", "-cmd",
                             "update", "-fw", image, "-all"}, Env()));
    for (auto& target : targets_) ASSERT_TRUE(target->WaitForFrames(12, 20s));
    const std::vector<int> parent = ToolProcesses(image, false);
    ASSERT_EQ(parent.size(), 1u);
    ASSERT_EQ(ToolProcesses(image, true).size(), 3u);
    signal ? (void)::kill(parent[0], signal) : (void)std::ofstream(gone).put('x');
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!(ToolProcesses(image, true).empty() && ToolProcesses(image, false).empty()) &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(ToolProcesses(image, true).empty() && ToolProcesses(image, false).empty()) << "still running";
    EXPECT_EQ(shell.Finish(10000), 0);
    EXPECT_TRUE(shell.Err().ends_with(status)) << shell.Err();
    for (int i = 0; i < 3 && signal == SIGHUP; ++i)
      EXPECT_NE(SummaryLine(shell.Out(), i + 1, "RX" + std::to_string(7001 + i)).find(" interrupted "), std::string::npos);
    std::this_thread::sleep_for(300ms);  // paced: the last bytes may still be crossing the line
    for (auto& target : targets_) {
      EXPECT_FALSE(target->FirmwareEnded());
      size_t framed = 0;
      for (const auto& frame : target->Received()) framed += frame.wire.size();
      EXPECT_EQ(framed, target->ReceivedBytes().size());
    }
  }
}

}  // namespace
