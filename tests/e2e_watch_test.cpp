// -watch: a station serving simulated repeaters as they are plugged in and out while it runs.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"
#include "platform/child.h"

namespace {

using namespace std::chrono_literals;

constexpr uint16_t kFwStart = 0x000E, kReset = 0x001C;

// Repeaters laid out in one tree and unplugged: the watch starts with none attached.
class WatchTest : public ::testing::Test {
 protected:
  ~WatchTest() override {
    watch_.reset();
    while (!targets_.empty()) targets_.pop_back();  // the last laid out goes first
  }

  sim::Target& Add(sim::Config config) {
    auto target = std::make_unique<sim::Target>(config);
    EXPECT_TRUE(target->Start()) << target->LastError();
    EXPECT_TRUE(target->LayOutTree(Path("tree"), static_cast<uint8_t>(targets_.size() + 1))) << target->LastError();
    target->Unplug();
    targets_.push_back(std::move(target));
    return *targets_.back();
  }

  // The watch, with restarts counted as such up to 1 s (the waits scaled to 6 s).
  void StartWatch(const std::vector<std::string>& extra, size_t image_size = 3000) {
    std::vector<std::string> args = {HALVERN_EXE, "-p", "RX5120", "-cmd", "update", "-fw", Image(image_size), "-watch"};
    args.insert(args.end(), extra.begin(), extra.end());
    watch_ = std::make_unique<platform::Child>();
    ASSERT_TRUE(watch_->Start(args, {{"HALVERN_SYSFS_ROOT", Path("tree/sys")},
                                     {"HALVERN_DEV_ROOT", Path("tree/dev")},
                                     {"HALVERN_WAIT_MS", "6000"}}));
    ASSERT_TRUE(watch_->WaitForText("Watching for RX5120 repeaters", 5000)) << watch_->Out();
  }

  // Waits until the watch's output holds text `count` times.
  bool WaitForCount(const std::string& text, int count, int timeout_ms = 15000) {
    return watch_->WaitForOutput([&](const std::string& out) { return Count(out, text) >= count; }, timeout_ms);
  }
  static int Count(const std::string& out, const std::string& text) {
    int n = 0;
    for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++n;
    return n;
  }
  static int Requests(const sim::Target& t, uint16_t event) {
    int n = 0;
    for (const auto& f : t.Received()) n += f.event_id == event;
    return n;
  }

  std::string Image(size_t size = 3000) {
    std::ofstream(Path("fw.bin"), std::ios::binary) << std::string(size, 'F');
    return Path("fw.bin");
  }
  std::string Path(const std::string& name) const { return (dir_.path() / name).string(); }

  e2e::TempDir dir_;
  std::vector<std::unique_ptr<sim::Target>> targets_;
  std::unique_ptr<platform::Child> watch_;
};

TEST_F(WatchTest, EachRepeaterIsServedOnceAsItComesAndARestartIsNoNewRepeater) {
  sim::Config a;
  a.usb_serial = "RX7001";
  a.restart_ms = 300;
  a.version_after = 0x0103;
  a.build_after = 0x0400;
  sim::Target& first = Add(a);
  sim::Config b = a;
  b.usb_serial = "RX7002";
  sim::Target& second = Add(b);
  StartWatch({"-verify"});

  ASSERT_TRUE(first.Plug());
  ASSERT_TRUE(WaitForCount("port 1, serial RX7001 ended: ok", 1)) << watch_->Out();
  // Its restart came while its child was verifying: one update, one restart, served once.
  EXPECT_EQ(first.RestartCount(), 1);
  EXPECT_NE(watch_->Out().find("Verified: SW Version 01.02.0345 -> 01.03.0400"), std::string::npos) << watch_->Out();
  ASSERT_TRUE(second.Plug());
  ASSERT_TRUE(WaitForCount("port 2, serial RX7002 ended: ok", 1)) << watch_->Out();
  EXPECT_NE(watch_->Out().find("port 2, serial RX7002 plugged in: serving it (1 working, 1 ok, 0 failed)"),
            std::string::npos)
      << watch_->Out();
  // Plugged in again: served already.
  first.Unplug();
  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(first.Plug());
  ASSERT_TRUE(WaitForCount("port 1, serial RX7001 back again: served in this watch already, not served again", 1))
      << watch_->Out();

  watch_->RequestStop();
  EXPECT_EQ(watch_->Wait(15000), 0) << watch_->Out();
  for (const sim::Target* t : {&first, &second}) {
    EXPECT_EQ(Requests(*t, kFwStart), 1);
    EXPECT_EQ(t->ResetCount(), 1);
  }
  EXPECT_EQ(Count(watch_->Out(), "plugged in: serving it"), 2) << watch_->Out();
  EXPECT_NE(watch_->Out().find("\nport  serial"), std::string::npos) << watch_->Out();
  EXPECT_EQ(Count(watch_->Out(), "  ok  "), 2) << watch_->Out();
}

TEST_F(WatchTest, AFailedRepeaterIsServedAgainOnlyWhenPluggedInAgainAndAtMostThreeTimes) {
  sim::Fault refuse;
  refuse.result = 1;
  sim::Config config;
  config.usb_serial = "RX7003";
  sim::Target& target = Add(config);
  // A refused start is followed by a restart request: the restart rule applies to it.
  target.SetFault(kFwStart, refuse);
  StartWatch({});

  ASSERT_TRUE(target.Plug());
  ASSERT_TRUE(WaitForCount("ended: failed", 1)) << watch_->Out();
  // Back sooner than a restart takes: a restart, not a new plug-in.
  target.Unplug();
  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(target.Plug());
  ASSERT_TRUE(WaitForCount("back again after", 1)) << watch_->Out();
  for (int time = 2; time <= 3; ++time) {
    target.Unplug();
    std::this_thread::sleep_for(1200ms);
    ASSERT_TRUE(target.Plug());
    ASSERT_TRUE(WaitForCount("serving it again (" + std::to_string(time) + " of 3)", 1)) << watch_->Out();
    ASSERT_TRUE(WaitForCount("ended: failed", time)) << watch_->Out();
  }
  target.Unplug();
  std::this_thread::sleep_for(1200ms);
  ASSERT_TRUE(target.Plug());
  ASSERT_TRUE(WaitForCount("back again: failed 3 times in this watch, not served again (0 working, 0 ok, 1 failed)", 1))
      << watch_->Out();

  watch_->RequestStop();
  EXPECT_EQ(watch_->Wait(15000), 1) << watch_->Out();
  EXPECT_EQ(Requests(target, kFwStart), 3);
  EXPECT_EQ(Count(watch_->Out(), "  failed  "), 3) << watch_->Out();  // a summary row per service
}

TEST_F(WatchTest, FirstStopTakesNoNewRepeaterAndWaitsTheSecondStopsTheOnesWorking) {
  sim::Config slow;  // at the real line rate a 200 KiB image takes about 20 s
  slow.usb_serial = "RX7004";
  slow.paced = true;
  slow.pace_host_bytes = true;
  sim::Target& working = Add(slow);
  sim::Config late;
  late.usb_serial = "RX7005";
  sim::Target& newcomer = Add(late);
  StartWatch({}, 200 * 1024);

  ASSERT_TRUE(working.Plug());
  ASSERT_TRUE(working.WaitForFrames(4, 10s));
  watch_->RequestStop();
  ASSERT_TRUE(WaitForCount("Stop requested: no new repeaters; waiting for the 1 still working", 1)) << watch_->Out();
  ASSERT_TRUE(newcomer.Plug());
  const size_t before = working.Received().size();
  std::this_thread::sleep_for(1500ms);
  EXPECT_GT(working.Received().size(), before + 3);  // it goes on
  EXPECT_TRUE(newcomer.Received().empty());         // nobody new is taken

  watch_->RequestStop();
  EXPECT_EQ(watch_->Wait(15000), 1) << watch_->Out();
  EXPECT_NE(watch_->Out().find("Stopping the 1 repeaters still working"), std::string::npos) << watch_->Out();
  EXPECT_NE(watch_->Out().find("  interrupted  "), std::string::npos) << watch_->Out();
  EXPECT_FALSE(working.FirmwareEnded());
  EXPECT_EQ(Requests(working, kReset), 0);
  EXPECT_TRUE(newcomer.Received().empty());
}

TEST_F(WatchTest, TwoRepeatersWithOneSerialNumberAreToldApartByPort) {
  sim::Config config;
  config.usb_serial = "RX7777";
  sim::Target& first = Add(config);
  sim::Target& second = Add(config);
  StartWatch({});
  ASSERT_TRUE(first.Plug());
  ASSERT_TRUE(WaitForCount("port 1, serial RX7777 ended: ok", 1)) << watch_->Out();
  ASSERT_TRUE(second.Plug());
  ASSERT_TRUE(WaitForCount("port 2, serial RX7777 ended: ok", 1)) << watch_->Out();
  // One of them away and back: neither is a new repeater.
  second.Unplug();
  std::this_thread::sleep_for(1200ms);
  ASSERT_TRUE(second.Plug());
  ASSERT_TRUE(WaitForCount("port 2, serial RX7777 back again: served in this watch already", 1)) << watch_->Out();
  watch_->RequestStop();
  EXPECT_EQ(watch_->Wait(15000), 0) << watch_->Out();
  EXPECT_EQ(Requests(first, kFwStart), 1);
  EXPECT_EQ(Requests(second, kFwStart), 1);
}

TEST(WatchUsage, WatchWithAChoiceOfRepeatersOrACommandItCannotRepeatIsAUsageError) {
  const struct {
    std::vector<std::string> extra;
    const char* message;
  } cases[] = {
      {{"-cmd", "update", "-fw", "x", "-all"}, "cannot be combined with -all, -port or -sn"},
      {{"-cmd", "update", "-fw", "x", "-port", "2"}, "cannot be combined with -all, -port or -sn"},
      {{"-cmd", "update", "-fw", "x", "-sn", "RX1"}, "cannot be combined with -all, -port or -sn"},
      {{"-cmd", "reboot"}, "-watch works only with update, pill_upd, param_get, param_set, version and fact_reset"},
      {{"-cmd", "params"}, "-watch works only with"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {HALVERN_EXE, "-p", "RX5120", "-watch"};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    const platform::SpawnResult r = platform::SpawnCapture(args, {}, "", 10000);
    EXPECT_EQ(r.exit_status, 255) << r.out;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
  }
}

}  // namespace
