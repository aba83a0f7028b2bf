// The first open after a plug-in, and who a repeater is: a station's child tries a port that is
// not ours to open yet, or held for a moment, again; a port that never opens does not count
// toward a unit's services; -verify finds the unit it updated among twins and after a restart
// faster than it looks; a device list that cannot be read is an error, never "no repeaters".
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/child.h"
#include "tests/e2e_support.h"

namespace e2e {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Touches the device node itself (not what it links to): the watch hears of a change.
void Touch(const std::string& node) { ::utimensat(AT_FDCWD, node.c_str(), nullptr, AT_SYMLINK_NOFOLLOW); }

// Waits (without spending anything worth counting) until the file exists.
bool WaitForFile(const fs::path& path, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!fs::exists(path)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

class OpeningTest : public SimTest {
 protected:
  // The tool started in the background, with the environment of the fake tree.
  std::unique_ptr<platform::Child> Start(std::vector<std::string> args) {
    args.insert(args.begin(), HALVERN_EXE);
    auto child = std::make_unique<platform::Child>();
    EXPECT_TRUE(child->Start(args, Env()));
    return child;
  }
  // The node of COM1 refuses to open (EACCES) until `marker` exists (for ever without one).
  void DenyNode(const fs::path& marker) {
    extra_env_.emplace_back("LD_PRELOAD", HALVERN_OPEN_SHIM);
    extra_env_.emplace_back("ASAN_OPTIONS", "verify_asan_link_order=0");
    extra_env_.emplace_back("HALVERN_SHIM_DENY_PATH", DevRoot() + "/ttyACM0");
    if (!marker.empty()) extra_env_.emplace_back("HALVERN_SHIM_DENY_UNTIL", marker.string());
  }
  std::string Image() {
    const fs::path path = dir_.path() / "fw.bin";
    std::ofstream(path, std::ios::binary) << std::string(100, 'F');
    return path.string();
  }
  // Ends a watch and returns its output.
  static std::string Stop(platform::Child* watch) {
    watch->RequestStop();
    EXPECT_NE(watch->Wait(30000), -1);
    return watch->Out();
  }
};

// A station's child waits for a port that cannot be opened yet: served ok.
TEST_F(OpeningTest, AStationServesAPortThatOpensOnlyAMomentAfterThePlugIn) {
  const struct {
    const char* name;
    bool held;  // held by another program (flock) rather than not accessible yet
    bool watch;
  } cases[] = {
      {"not accessible yet, -all", false, false},
      {"not accessible yet, -watch", false, true},
      {"held by another program, -all", true, false},
      {"held by another program, -watch", true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.held && kSanitized) continue;  // the preloaded library cannot go with a sanitizer runtime
    extra_env_.clear();
    StartTarget();
    const fs::path marker = dir_.path() / (std::string("open-") + (c.watch ? "w" : "a"));
    int holder = -1;
    if (c.held) {
      holder = ::open((DevRoot() + "/ttyACM0").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
      ASSERT_GE(holder, 0);
      ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    } else {
      DenyNode(marker);
    }
    auto run = Start({"-p", "RX5120", "-cmd", "version", c.watch ? "-watch" : "-all"});
    if (c.held) {
      std::this_thread::sleep_for(300ms);  // the child finds it held
      ::close(holder);
    } else {
      ASSERT_TRUE(WaitForFile(marker.string() + ".denied", 20s));  // the child was refused once
      std::ofstream(marker) << "";
    }
    std::string out;
    if (c.watch) {
      ASSERT_TRUE(run->WaitForText("port 1, serial SIM51200001 ended: ok", 30000)) << run->Out();
      out = Stop(run.get());
    } else {
      EXPECT_EQ(run->Wait(30000), 0);
      out = run->Out();
    }
    EXPECT_NE(out.find("Product: SW Version 01.02.0345"), std::string::npos) << out;
    EXPECT_EQ(out.find("Couldn't initialize application"), std::string::npos) << out;
    EXPECT_EQ(out.find("in use by another program"), std::string::npos) << out;
    target_.reset();
  }
}

// A port that never opens: the service fails with the reason, and does not count toward the
// services a unit gets in a watch (served again as its first of three).
TEST_F(OpeningTest, APortThatNeverOpensFailsWithItsReasonAndDoesNotCount) {
  if (kSanitized) GTEST_SKIP() << "the preloaded library cannot go with a sanitizer runtime";
  StartTarget();
  DenyNode({});
  extra_env_.emplace_back("HALVERN_WAIT_MS", "2000");  // opens tried for 0.1 s; a restart within 0.33 s
  auto watch = Start({"-p", "RX5120", "-cmd", "version", "-watch"});
  ASSERT_TRUE(watch->WaitForText("port 1, serial SIM51200001 ended: failed", 30000)) << watch->Out();
  target_->Unplug();
  std::this_thread::sleep_for(600ms);  // away for longer than a restart takes
  ASSERT_TRUE(target_->Plug());
  ASSERT_TRUE(watch->WaitForOutput(
      [](const std::string& out) { return Count(out, "ended: failed") >= 2; }, 30000))
      << watch->Out();
  const std::string out = Stop(watch.get());
  // Its port never opened: put back, it is served again as the first of its 3 services.
  EXPECT_NE(out.find("(a re-seat after a service that ended failed): serving it again (1 of 3)"), std::string::npos)
      << out;
  EXPECT_NE(out.find("[ERROR] Couldn't initialize application.\nPlease check if target is connected and running!\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(Count(out, "halvern: COM1 (" + DevRoot() + "/ttyACM0) could not be opened within 0.1 s: Permission denied\n"),
            2)
      << out;
  EXPECT_TRUE(target_->Received().empty());  // nothing reached the repeater
}

// -verify after the restart: the unit that was updated, however fast it restarted and whatever
// else is attached.
TEST_F(OpeningTest, VerifyFindsTheUpdatedUnitAmongTwinsAndAfterAFastRestart) {
  const struct {
    const char* name;
    int restart_ms;
    bool twin;              // a second unit with the same serial number on COM2
    uint16_t version_after;  // the version after the restart (build 0x0400, or 0x0345 for 01.02)
    std::vector<std::string> extra;
    int status;
    std::string after;  // what follows the update's own output
    std::string err;
  } cases[] = {
      {"a twin of the same serial number", 300, true, 0x0103, {"-verify"}, 0,
       "Verified: SW Version 01.02.0345 -> 01.03.0400\n", ""},
      {"a restart faster than a look", 1, false, 0x0103, {"-verify"}, 0,
       "Verified: SW Version 01.02.0345 -> 01.03.0400\n", ""},
      {"the version unchanged", 300, false, 0x0102, {"-verify"}, 0, "Verified: SW Version 01.02.0345 -> 01.02.0345\n",
       "halvern: the repeater restarted with its version unchanged (01.02.0345)\n"},
      {"the version unchanged, as expected", 300, false, 0x0102, {"-expect", "01.02.0345"}, 0,
       "Verified: SW Version 01.02.0345 -> 01.02.0345\n", ""},
      {"not the version expected", 300, false, 0x0102, {"-expect", "01.03.0400"}, 1,
       "Restarted: SW Version 01.02.0345 -> 01.02.0345\n"
       "[ERROR] Expected SW Version 01.03.0400, the repeater reports 01.02.0345\n",
       ""},
  };
  const std::string closing = "\n" + kRule + "\n";
  const std::string updated = "Product: SW Version 01.02.0345\n\n" + kRule + "\nUpdate Start\n" + closing +
                              "\nFW Update successfully finished\n" + closing;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::Config config;
    config.usb_serial = "RX0042";
    config.restart_ms = c.restart_ms;
    config.version_after = c.version_after;
    config.build_after = c.version_after == 0x0102 ? 0x0345 : 0x0400;
    std::unique_ptr<sim::Target> twin;
    StartTarget(config);
    if (c.twin) {
      twin = std::make_unique<sim::Target>(config);
      ASSERT_TRUE(twin->Start());
      ASSERT_TRUE(twin->LayOutTree((dir_.path() / "tree").string(), 2));
    }
    extra_env_ = {{"HALVERN_WAIT_MS", "6000"}};
    std::vector<std::string> args = {"-p", "RX5120", "-cmd", "update", "-fw", Image(), "-port", "1"};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    const auto r = Run(args);
    EXPECT_EQ(r.out, kBanner + updated + c.after);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.exit_status, c.status);
    EXPECT_EQ(target_->RestartCount(), 1);
    if (twin) {
      EXPECT_EQ(twin->RestartCount(), 0);
    }
    twin.reset();  // laid out last, goes first
    target_.reset();
  }
}

// A unit without a serial number: shown and named by its USB path as before, recorded without one.
TEST_F(OpeningTest, AUnitWithoutSerialNumberIsKnownByItsUsbPathAndRecordedWithoutOne) {
  StartTarget();
  fs::remove(SysfsRoot() + "/devices/usb1/1-1/serial");
  const std::string report = (dir_.path() / "r.jsonl").string();
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::string shown;  // in the output
  } cases[] = {
      {"list", {"-cmd", "list"}, "COM1    1-1            01.02.0345     " + DevRoot() + "/ttyACM0\n"},
      {"-sn takes the USB path", {"-cmd", "version", "-sn", "1-1"}, "Product: SW Version 01.02.0345"},
      {"-all", {"-cmd", "version", "-all", "-report", report}, "----- port 1, serial 1-1 -----"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {"-p", "RX5120"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const auto r = Run(args);
    EXPECT_EQ(r.exit_status, 0) << r.out;
    EXPECT_NE(r.out.find(c.shown), std::string::npos) << r.out;
  }
  std::string line;
  std::getline(std::ifstream(report), line);
  EXPECT_NE(line.find(R"("serial":null)"), std::string::npos) << line;
}

// A device list that cannot be read is an error on standard error, never "no repeaters".
TEST_F(OpeningTest, AListThatCannotBeReadIsAnError) {
  StartTarget();
  const fs::path tty = fs::path(SysfsRoot()) / "class" / "tty";
  fs::rename(tty, tty.string() + ".away");
  std::ofstream(tty) << "";
  const std::string err = "halvern: cannot list the serial devices: " + tty.string() + ": Not a directory\n";
  const std::vector<std::string> cases[] = {
      {"-cmd", "list"},
      {"-cmd", "version", "-sn", "SIM51200001"},
      {"-cmd", "version", "-all"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args.back());
    std::vector<std::string> all = {"-p", "RX5120"};
    all.insert(all.end(), args.begin(), args.end());
    const auto r = Run(all);
    EXPECT_EQ(r.out, kBanner);
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(r.exit_status, 255);
  }
  // A watch that cannot read the list takes nobody as gone: the unit it served is not served
  // again once the list can be read again.
  fs::remove(tty);
  fs::rename(tty.string() + ".away", tty);
  auto watch = Start({"-p", "RX5120", "-cmd", "version", "-watch"});
  ASSERT_TRUE(watch->WaitForText("port 1, serial SIM51200001 ended: ok", 30000)) << watch->Out();
  fs::rename(tty, tty.string() + ".away");
  std::ofstream(tty) << "";
  Touch(DevRoot() + "/ttyACM0");  // a change to look at
  ASSERT_TRUE(watch->WaitForOutput([&](const std::string&) { return watch->Err().find(err) != std::string::npos; },
                                   30000))
      << watch->Err();
  fs::remove(tty);
  fs::rename(tty.string() + ".away", tty);
  Touch(DevRoot() + "/ttyACM0");
  std::this_thread::sleep_for(1500ms);  // room for the listings that follow a change
  const std::string out = Stop(watch.get());
  EXPECT_EQ(Count(out, "plugged in: serving"), 1) << out;
  EXPECT_EQ(Count(out, "back again"), 0) << out;
}

}  // namespace
}  // namespace e2e
