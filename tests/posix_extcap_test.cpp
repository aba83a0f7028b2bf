// halvern-extcap as a packet viewer runs it: against the simulated repeater, writing pcap into a
// real fifo that the test reads as the viewer would.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/child.h"
#include "sim/sim_wire.h"
#include "tests/e2e_support.h"

namespace e2e {
namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

constexpr int kWaitMs = 20000;
const Bytes kLoggerOff = {0x3E, 0x01, 0x00, 0x4A, 0x02, 0xFF, 0xFF};

uint32_t Le32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(s[at + i]);
  return v;
}

// The viewer's end of the fifo: everything read, kept for the test to look at.
class FifoReader {
 public:
  explicit FifoReader(std::string path) : path_(std::move(path)) {
    ::mkfifo(path_.c_str(), 0600);
    thread_ = std::thread([this] {
      // Non-blocking open, so that the reader can be given up before any writer came; never
      // inherited, or the program under test would hold a reader end itself.
      const int fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      bool writer_seen = false;
      char buf[4096];
      while (fd >= 0 && !stop_) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
          writer_seen = true;
          std::lock_guard lock(mutex_);
          data_.append(buf, static_cast<size_t>(n));
        } else if (n == 0 && writer_seen) {
          break;  // the writer closed its end
        } else if (n == 0) {
          std::this_thread::sleep_for(5ms);  // no writer yet
        }
      }
      if (fd >= 0) ::close(fd);
    });
  }
  ~FifoReader() { CloseEarly(); }
  // Closes the viewer's end, as a viewer that stops capturing does.
  void CloseEarly() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  std::string Data() {
    std::lock_guard lock(mutex_);
    return data_;
  }
  // The packets of the pcap stream so far (their bytes), once the header is there.
  std::vector<Bytes> Packets() {
    const std::string d = Data();
    std::vector<Bytes> packets;
    for (size_t at = 24; at + 16 <= d.size();) {
      const uint32_t n = Le32(d, at + 8);
      if (at + 16 + n > d.size()) break;
      packets.emplace_back(d.begin() + static_cast<long>(at + 16), d.begin() + static_cast<long>(at + 16 + n));
      at += 16 + n;
    }
    return packets;
  }
  bool WaitForPackets(size_t n) {
    for (auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
         std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(5ms))
      if (Packets().size() >= n) return true;
    return false;
  }

 private:
  std::string path_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::string data_;
};

class ExtcapTest : public SimTest {
 protected:
  std::string Fifo() const { return (dir_.path() / "fifo").string(); }
  void StartCapture(std::vector<std::string> args) {
    args.insert(args.begin(), {HALVERN_EXTCAP_EXE, "--capture", "--extcap-interface", "halvern-1", "--fifo", Fifo()});
    tool_ = std::make_unique<platform::Child>();
    ASSERT_TRUE(tool_->Start(args, Env()));
    tool_->CloseInput();
  }
  std::vector<Bytes> ConfigRequests() const {
    std::vector<Bytes> blocks;
    for (const auto& f : target_->Received())
      if (f.event_id == 0x3801) blocks.push_back(f.params);
    return blocks;
  }
  std::unique_ptr<platform::Child> tool_;
};

TEST_F(ExtcapTest, ListsTheAttachedRepeaterAndItsLinkType) {
  StartTarget();
  auto r = platform::SpawnCapture({HALVERN_EXTCAP_EXE, "--extcap-interfaces", "--extcap-version=4.0"}, Env(), "", kWaitMs);
  EXPECT_EQ(r.out, "extcap {version=1.1}{display=RX5120 DECT trace}\n"
                   "interface {value=halvern-1}{display=RX5120 DECT trace: COM1, serial SIM51200001}\n");
  EXPECT_EQ(r.exit_status, 0);
  r = platform::SpawnCapture({HALVERN_EXTCAP_EXE, "--extcap-interface", "halvern-1", "--extcap-dlts"}, Env(), "", kWaitMs);
  EXPECT_EQ(r.out, "dlt {number=147}{name=USER0}{display=RX5120 DECT trace packets}\n");
  EXPECT_TRUE(target_->Received().empty()) << "listing never touches the repeater";
}

TEST_F(ExtcapTest, EveryPacketReachesTheFifoAsItArrivesAndAStopSwitchesTheLoggerOff) {
  StartTarget();
  FifoReader viewer(Fifo());
  const std::string trace_file = (dir_.path() / "trace.txt").string();
  // The first indication leaves the target the moment the logger is configured: the trace
  // file must already be there to hold it.
  const Bytes ten(10, 0xEE), eight = {9, 8, 4, 1, 2, 3, 4, 5};
  sim::Fault at_once;
  at_once.times = 1;
  at_once.noise = sim::wire::BuildFrame(sim::wire::kEvTraceInd, TraceInd(2, 1, 83, 0x00, 0x00, ten));
  target_->SetFault(0x3801, at_once);
  StartCapture({"--logger", "m,u", "--trace-file", trace_file});
  ASSERT_TRUE(target_->WaitForEvent(0x3801, 10s)) << tool_->Err();
  EXPECT_EQ(target_->LoggerMask(), 0x0003);

  ASSERT_TRUE(viewer.WaitForPackets(1)) << "one packet is on the fifo before the next is sent";
  target_->PushTraceIndication(TraceInd(2, 1, 83, 0x07, 0x21, eight));
  ASSERT_TRUE(viewer.WaitForPackets(3));
  tool_->RequestStop();
  EXPECT_EQ(tool_->Wait(kWaitMs), 0) << tool_->Err();

  const std::vector<Bytes> expected = {Concat({{0x4C, 0x47, 2, 1, 83, 2, 10}, ten}),
                                       Concat({{0x4C, 0x47, 2, 1, 83, 2, 8}, eight}),
                                       {1, 0, 2, 1, 83, 1, 0x10, 8, 4, 1, 2}};
  EXPECT_EQ(viewer.Packets(), expected) << "packet A and packet B exactly as the trace file holds them";
  const std::string data = viewer.Data();
  ASSERT_GE(data.size(), 24u);
  EXPECT_EQ(data.substr(0, 24), std::string("\xD4\xC3\xB2\xA1\x02\x00\x04\x00\0\0\0\0\0\0\0\0\xFF\xFF\0\0\x93\0\0\0", 24));
  // Stamped with the time they arrived.
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch());
  EXPECT_NEAR(static_cast<double>(Le32(data, 24)), static_cast<double>(now.count()), 60.0);

  // The scrambled trace file holds the same packets as the tracer command would write them.
  std::ifstream in(trace_file, std::ios::binary);
  std::string text(std::istreambuf_iterator<char>(in), {});
  for (size_t k = 0; k < text.size(); ++k) text[k] = static_cast<char>(text[k] ^ "Q&Z"[k % 3]);
  EXPECT_EQ(text.rfind("BEGIN\r\n4C 47 02 01 53 02 0A EE ", 0), 0u) << text;
  EXPECT_EQ(std::count(text.begin(), text.end(), 'B'), 3);

  ASSERT_TRUE(target_->WaitForFrames(4, 5s));
  EXPECT_EQ(ReceivedEvents(), (std::vector<uint16_t>{0xFF01, 0xFF05, 0x3801, 0x3801}));
  EXPECT_EQ(ConfigRequests().back(), kLoggerOff);
  EXPECT_EQ(target_->LoggerSwitch(), 0);
}

// Many indications in one read of the line are passed on together, in order, none lost; one
// that comes alone afterwards is not held back waiting for more.
TEST_F(ExtcapTest, ABurstOfIndicationsArrivesWholeAndInOrder) {
  StartTarget();
  FifoReader viewer(Fifo());
  StartCapture({});
  ASSERT_TRUE(target_->WaitForEvent(0x3801, 10s)) << tool_->Err();
  Bytes burst;
  std::vector<Bytes> expected;
  for (uint8_t i = 0; i < 200; ++i) {
    const Bytes data = {i, static_cast<uint8_t>(i ^ 0x5A)};
    const Bytes frame = sim::wire::BuildFrame(sim::wire::kEvTraceInd, TraceInd(2, 1, 83, 0x00, 0x00, data));
    burst.insert(burst.end(), frame.begin(), frame.end());
    expected.push_back(Concat({{0x4C, 0x47, 2, 1, 83, 2, 2}, data}));
  }
  target_->PushBytes(burst);
  ASSERT_TRUE(viewer.WaitForPackets(200));
  target_->PushTraceIndication(TraceInd(2, 1, 83, 0x00, 0x00, {7}));
  expected.push_back({0x4C, 0x47, 2, 1, 83, 2, 1, 7});
  ASSERT_TRUE(viewer.WaitForPackets(201));
  tool_->RequestStop();
  EXPECT_EQ(tool_->Wait(kWaitMs), 0) << tool_->Err();
  EXPECT_EQ(viewer.Packets(), expected);
}

// A stop that comes while indications still flow at line rate ends the capture quietly; a trace
// file that could not hold the records fails it with one line.
TEST_F(ExtcapTest, AStopWhilePacketsFlowIsQuietAndLostTraceRecordsFailTheCapture) {
  Bytes burst;
  for (int i = 0; i < 50000; ++i) {
    const Bytes frame = sim::wire::BuildFrame(sim::wire::kEvTraceInd, TraceInd(2, 1, 83, 0x00, 0x00, {uint8_t(i)}));
    burst.insert(burst.end(), frame.begin(), frame.end());
  }
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{}, 0, ""},
      {{"--trace-file", "/dev/full"}, 1,
       "halvern-extcap: couldn't write the trace file /dev/full: records were lost\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    StartTarget();
    std::filesystem::remove(Fifo());
    FifoReader viewer(Fifo());
    StartCapture(c.args);
    ASSERT_TRUE(target_->WaitForEvent(0x3801, 10s)) << tool_->Err();
    std::thread line([&] { target_->PushBytes(burst); });
    EXPECT_TRUE(viewer.WaitForPackets(20));
    tool_->RequestStop();
    EXPECT_EQ(tool_->Wait(kWaitMs), c.status);
    target_->HangUp();  // the rest of the burst is not waited for
    line.join();
    EXPECT_EQ(tool_->Err(), c.err);
    EXPECT_LT(viewer.Packets().size(), 50000u) << "the stop came while packets flowed";
  }
}

TEST_F(ExtcapTest, AViewerClosingTheFifoEndsTheCaptureCleanly) {
  StartTarget();
  FifoReader viewer(Fifo());
  StartCapture({});  // all tasks by default
  ASSERT_TRUE(target_->WaitForEvent(0x3801, 10s)) << tool_->Err();
  EXPECT_EQ(target_->LoggerMask(), 0x7FFF);
  viewer.CloseEarly();
  EXPECT_EQ(tool_->Wait(kWaitMs), 0) << tool_->Err();
  ASSERT_TRUE(target_->WaitForFrames(4, 5s));
  EXPECT_EQ(ConfigRequests().back(), kLoggerOff);
}

TEST_F(ExtcapTest, FilterReachesTheTargetAndBadConfigurationsAreRefusedBeforeAnythingIsSent) {
  StartTarget();
  {
    FifoReader viewer(Fifo());
    StartCapture({"--logger", "x83,3"});
    ASSERT_TRUE(target_->WaitForEvent(0x3801, 10s)) << tool_->Err();
    EXPECT_EQ(target_->LoggerMask(), 0x8000);
    Bytes list(40, 0xFF);
    list[0] = 83, list[1] = list[2] = list[3] = 0, list[4] = 3, list[5] = list[6] = list[7] = 0;
    EXPECT_EQ(target_->LoggerList(), list);
    tool_->RequestStop();
    EXPECT_EQ(tool_->Wait(kWaitMs), 0) << tool_->Err();
  }
  const size_t frames = target_->Received().size();
  std::filesystem::remove(Fifo());
  FifoReader viewer(Fifo());
  StartCapture({"--logger", "a,m"});
  EXPECT_EQ(tool_->Wait(kWaitMs), 1);
  EXPECT_NE(tool_->Err().find("\"a\" option cannot be selected with other layers"), std::string::npos) << tool_->Err();
  EXPECT_EQ(tool_->Out(), "") << "the viewer reads its protocol on standard output: errors go to standard error";
  std::this_thread::sleep_for(100ms);
  ASSERT_GE(target_->Received().size(), frames + 2);
  for (size_t i = frames + 2; i < target_->Received().size(); ++i)
    EXPECT_NE(target_->Received()[i].event_id, 0x3801) << "no logger request for a refused configuration";
}

TEST_F(ExtcapTest, UnknownInterfacesAndAbsentRepeatersAreErrorsOnStandardError) {
  StartTarget();
  for (const char* interface : {"halvern-2", "eth0"}) {
    auto r = platform::SpawnCapture(
        {HALVERN_EXTCAP_EXE, "--capture", "--extcap-interface", interface, "--fifo", Fifo()}, Env(), "", kWaitMs);
    EXPECT_EQ(r.exit_status, 1) << interface;
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(r.err.empty());
  }
  EXPECT_TRUE(target_->Received().empty());
}

TEST_F(ExtcapTest, ARepeaterHeldByAnotherProgramIsSaidToBeInUse) {
  StartTarget();
  platform::Child holder;  // a log console holds the port until its input ends
  ASSERT_TRUE(holder.Start({HALVERN_EXE, "-p", "RX5120", "-cmd", "log"}, Env()));
  ASSERT_TRUE(target_->WaitForFrames(2, std::chrono::seconds(10)));
  FifoReader viewer(Fifo());
  auto r = platform::SpawnCapture(
      {HALVERN_EXTCAP_EXE, "--capture", "--extcap-interface", "halvern-1", "--fifo", Fifo()}, Env(), "", kWaitMs);
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.err.find("[ERROR] The RX5120 on COM1 is in use by another program\n"), std::string::npos) << r.err;
  holder.CloseInput();
  EXPECT_EQ(holder.Finish(20000), 0);
}

TEST_F(ExtcapTest, ARepeaterUnpluggedMidCaptureEndsItWithWhatCameBefore) {
  StartTarget();
  FifoReader viewer(Fifo());
  StartCapture({});
  ASSERT_TRUE(target_->WaitForEvent(0x3801, 10s)) << tool_->Err();
  target_->PushTraceIndication(TraceInd(2, 1, 83, 0x00, 0x00, {1, 2, 3}));
  ASSERT_TRUE(viewer.WaitForPackets(1));
  target_->HangUp();
  EXPECT_EQ(tool_->Wait(kWaitMs), 1);
  EXPECT_NE(tool_->Err().find("[ERROR] The repeater was disconnected"), std::string::npos) << tool_->Err();
  EXPECT_EQ(viewer.Packets().size(), 1u);
}

// tshark as the real client. It finds extcap programs only in its global folder, so the test
// binds a folder holding halvern-extcap over that one in a private mount namespace: root only.
// Skipped where that cannot be done, unless HALVERN_REQUIRE_TSHARK is set (the package check).
class ExtcapTsharkTest : public ExtcapTest {
 protected:
  void SetUp() override {
    std::string why;
    auto folders = platform::SpawnCapture({"/usr/bin/env", "tshark", "-G", "folders"}, {}, "", kWaitMs);
    const size_t at = folders.out.find("Extcap path:");
    if (::geteuid() != 0) why = "needs root for a private mount namespace";
    else if (folders.exit_status != 0 || at == std::string::npos) why = "tshark is not installed";
    else if (platform::SpawnCapture({"/usr/bin/env", "unshare", "-m", "true"}, {}, "", kWaitMs).exit_status != 0)
      why = "no private mount namespace here";
    if (!why.empty()) {
      if (std::getenv("HALVERN_REQUIRE_TSHARK")) FAIL() << why;
      GTEST_SKIP() << why;
    }
    const size_t from = folders.out.find_first_not_of(" \t", at + 12);
    global_extcap_ = folders.out.substr(from, folders.out.find('\n', from) - from);
    extcap_dir_ = dir_.path() / "extcap";
    std::filesystem::create_directories(extcap_dir_);
    std::filesystem::create_symlink(HALVERN_EXTCAP_EXE, extcap_dir_ / "halvern-extcap");
  }
  // tshark in a namespace where the global extcap folder is ours.
  std::vector<std::string> Tshark(const std::string& args) const {
    return {"/usr/bin/env", "unshare", "-m", "sh", "-c",
            "mount --bind '" + extcap_dir_.string() + "' '" + global_extcap_ + "' && exec tshark " + args};
  }
  std::string global_extcap_;
  std::filesystem::path extcap_dir_;
};

TEST_F(ExtcapTsharkTest, ListsTheRepeaterCapturesItsPacketsWithTheirNamesAndStopsTheLogger) {
  StartTarget();
  auto list = platform::SpawnCapture(Tshark("-D"), Env(), "", kWaitMs);
  EXPECT_NE(list.out.find(". halvern-1 (RX5120 DECT trace: COM1, serial SIM51200001)\n"), std::string::npos)
      << list.out << list.err;

  const std::string lua = std::string(HALVERN_SOURCE_DIR) + "/tools/wireshark/halvern.lua";
  // Both preferences by the names README gives them.
  const std::string trace_file = (dir_.path() / "dect.txt").string();
  tool_ = std::make_unique<platform::Child>();
  ASSERT_TRUE(tool_->Start(Tshark("-X lua_script:" + lua + " -i halvern-1 -o extcap.halvern_1.logger:x83,9 -o "
                                  "extcap.halvern_1.tracefile:" + trace_file + " -a packets:3 -T fields -E "
                                  "separator=' ' -e frame.number -e halvern.kind -e halvern.mid -e halvern.mid_name "
                                  "-e halvern.len"),
                           Env()));
  tool_->CloseInput();
  ASSERT_TRUE(target_->WaitForEvent(0x3801, 30s)) << tool_->Err();
  // The message filter set through the capture options reaches the target as the logger request.
  EXPECT_EQ(target_->LoggerMask(), 0x8000);
  Bytes ids(40, 0xFF);
  ids[0] = 83, ids[1] = ids[2] = ids[3] = 0, ids[4] = 9, ids[5] = ids[6] = ids[7] = 0;
  EXPECT_EQ(target_->LoggerList(), ids);
  target_->PushTraceIndication(TraceInd(2, 1, 83, 0x00, 0x00, {1, 2, 3}));
  target_->PushTraceIndication(TraceInd(7, 8, 9, 0x03, 0x21, {9, 8, 4, 1, 2, 3, 4, 5}));
  EXPECT_EQ(tool_->Wait(kWaitMs), 0) << tool_->Err();
  EXPECT_EQ(tool_->Out(),
            "1 first 83 MID_IWU_CC_SETUP 3\n"
            "2 first 9 MID_IWU_LLME_U_CON_TONE 8\n"
            "3 second 9 MID_IWU_LLME_U_CON_TONE 4\n");
  std::error_code ec;
  EXPECT_GT(std::filesystem::file_size(trace_file, ec), 0u) << ec.message();
  // Stopping the capture switches the logger off.
  ASSERT_TRUE(target_->WaitForFrames(4, 10s));
  EXPECT_EQ(ConfigRequests().back(), kLoggerOff);
  EXPECT_EQ(target_->LoggerSwitch(), 0);
}

}  // namespace
}  // namespace e2e
