// The checks a run over several repeaters makes before it touches one: the settings file read
// through line by line, the file of each command, and the lock of one watch per station.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <thread>

#include "fake_serial.h"
#include "params/param_file.h"
#include "platform/station_lock.h"
#include "station/preflight.h"

namespace halvern_test {
namespace {

std::string Write(const TempDir& dir, const std::string& name, const std::string& text) {
  const std::string path = (dir.path() / name).string();
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

// Each line as param_get or param_set would take it: the first one that would not be sent is named.
TEST(ParamFileCheckTest, TheFirstLineThatWouldNotBeSentIsNamed) {
  TempDir dir;
  const struct {
    std::string text;
    bool is_get;
    std::string fault;  // empty: valid
  } cases[] = {
      {"# comment\n\n 0x10:b:zz\n0x0010:b:12\r\n16:w:1234\n0x0040:a:0102;\n", false, ""},
      {"0x0010:b:\n0x0040:a:5\n7:w:\n", true, ""},
      {"0x0010:b:12\n16:W:12\n", false, "line 2: wrong format 'W'"},
      {"0x0010:b:12\n16:W:12\n", true, "line 2: wrong format 'W'"},
      {"xyz\n", true, "line 1: wrong line"},
      {"0x0010:b\n", true, "line 1: wrong line"},
      {"0x0040:a:;\n", false, "line 1: wrong line"},
      {"0x0010:w:12\n", false, "line 1: too few digits (2 of 4)"},
      {"0x0010:b:1g\n", false, "line 1: '1g' is not hexadecimal"},
      {"0x0040:a:513\n", true, "line 1: length 513 is above 512"},
      {"0x0040:a:512\n", true, ""},
      // A line longer than a piece: its rest is read as a line of its own (as the run reads it),
      // under the same number.
      {"0x10:b:12\n# " + std::string(300, 'c') + "\n0x11:b:12\n", false, "line 2: wrong line"},
      {"0x0010:b:12", false, ""},  // no newline at the end
  };
  for (const auto& c : cases) {
    const std::string path = Write(dir, "s.txt", c.text);
    std::string why;
    EXPECT_EQ(cmParamFileCheck(path, c.is_get, &why), c.fault.empty()) << c.text;
    EXPECT_EQ(why, c.fault.empty() ? "" : "settings file '" + path + "' " + c.fault) << c.text;
  }
  std::string why;
  EXPECT_FALSE(cmParamFileCheck((dir.path() / "none.txt").string(), false, &why));
  EXPECT_EQ(why.rfind("settings file '", 0), 0u) << why;
}

// Which file each command needs, and that a path with {serial} or {port} waits for its repeater.
TEST(PreflightTest, EachCommandsFileIsCheckedAndAPerRepeaterPathOnlyPerRepeater) {
  TempDir dir;
  const std::string good = Write(dir, "fw.bin", "F"), empty = Write(dir, "empty.bin", "");
  const std::string settings = Write(dir, "s.txt", "16:W:1\n");
  const std::string per_repeater = (dir.path() / "fw_{serial}.bin").string();
  auto options = [](int command) {
    ST_OPTIONS o;
    o.command = command;
    return o;
  };
  const struct {
    ST_OPTIONS o;
    bool per_repeater;
    bool ok;
  } cases[] = {
      {[&] { auto o = options(CM_CMD_UPDATE); o.fw_path = good.c_str(); return o; }(), false, true},
      {[&] { auto o = options(CM_CMD_UPDATE); o.fw_path = empty.c_str(); return o; }(), false, false},
      {[&] { auto o = options(CM_CMD_UPDATE); o.pill_path = empty.c_str(); return o; }(), false, true},
      {[&] { auto o = options(CM_CMD_PILL_UPD); o.pill_path = empty.c_str(); return o; }(), false, false},
      {[&] { auto o = options(CM_CMD_PARAM_SET); o.settings_path = settings.c_str(); return o; }(), false, false},
      {[&] { auto o = options(CM_CMD_PARAM_GET); o.settings_path = settings.c_str(); return o; }(), false, false},
      {[&] { auto o = options(CM_CMD_VERSION); o.fw_path = empty.c_str(); return o; }(), false, true},
      {[&] { auto o = options(CM_CMD_UPDATE); return o; }(), false, true},  // the command says so itself
      {[&] { auto o = options(CM_CMD_UPDATE); o.fw_path = per_repeater.c_str(); return o; }(), false, true},
      {[&] { auto o = options(CM_CMD_UPDATE); o.fw_path = per_repeater.c_str(); return o; }(), true, false},
  };
  int n = 0;
  for (const auto& c : cases) {
    std::string why;
    EXPECT_EQ(cmPreflightFiles(c.o, c.per_repeater, &why), c.ok) << "case " << n;
    EXPECT_EQ(why.empty(), c.ok) << "case " << n << ": " << why;
    ++n;
  }
}

TEST(PreflightTest, TheStationIsTheProductAndTheDeviceTree) {
  ST_OPTIONS o;
  o.product = 0;
  ScopedEnv dev("HALVERN_DEV_ROOT", "/a/dev");
  const std::string key = cmStationKey(o);
  {
    ScopedEnv other("HALVERN_DEV_ROOT", "/b/dev");
    EXPECT_NE(cmStationKey(o), key);
  }
  {
    ScopedEnv same("HALVERN_DEV_ROOT", "/a/x/../dev");
    EXPECT_EQ(cmStationKey(o), key);
  }
  EXPECT_EQ(cmStationKey(o), key);
}

// A second taker, on another thread as a second process would be, finds the lock held by this
// process until its holder lets it go.
TEST(StationLockTest, OneHolderAtATimeAndTheLockGoesWithItsHolder) {
  const std::string key = "test station " + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
  auto take_elsewhere = [](const std::string& name, long* holder) {
    platform::StationLock::Outcome outcome{};
    std::thread([&] {
      platform::StationLock lock;
      std::string why;
      outcome = lock.Take(name, holder, &why);
    }).join();
    return outcome;
  };
  {
    platform::StationLock lock;
    long holder = -1;
    std::string why;
    ASSERT_EQ(lock.Take(key, &holder, &why), platform::StationLock::kTaken) << why;
    EXPECT_EQ(take_elsewhere(key, &holder), platform::StationLock::kHeld);
    EXPECT_GT(holder, 0);
    EXPECT_EQ(take_elsewhere(key + "2", &holder), platform::StationLock::kTaken) << "another station";
  }
  long holder = 0;
  EXPECT_EQ(take_elsewhere(key, &holder), platform::StationLock::kTaken);
  EXPECT_EQ(platform::StationLockName("a"), platform::StationLockName("a"));
  EXPECT_NE(platform::StationLockName("a"), platform::StationLockName("b"));
}

}  // namespace
}  // namespace halvern_test
