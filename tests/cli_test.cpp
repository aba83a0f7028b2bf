// Option parsing, command lookup, and the runs of the program that need no device.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/cli.h"
#include "fake_serial.h"

namespace halvern_test {
namespace {

const std::string kRule(79, '=');
const std::string kBanner = kRule + "\n\nHALVERN Software Administration Tool Version 1.01\n\n" + kRule + "\n\n";
const std::string kUsage =
    "usage: -p [PRODUCT NAME] -cmd [COMMAND] -fw [firmware binary] -settings [settings file]\n"
    "COMMAND: fact_reset, param_get, param_set, reboot, update, version\n"
    "Available products:\n"
    "\tRX5120\n";

struct Parsed {
  int result;
  ST_OPTIONS options;
  std::string out;
};

Parsed Parse(std::vector<const char*> args) {
  args.insert(args.begin(), "halvern");
  Parsed p{};
  testing::internal::CaptureStdout();
  p.result = cmParseOptions(static_cast<int>(args.size()), args.data(), &p.options);
  p.out = testing::internal::GetCapturedStdout();
  return p;
}

TEST(CliTest, RepeaterChoiceOptions) {
  EXPECT_EQ(Parse({}).options.port, 0);
  EXPECT_EQ(Parse({}).options.serial, nullptr);
  EXPECT_EQ(Parse({"-port", "255"}).options.port, 255);
  EXPECT_STREQ(Parse({"-sn", "RX5120-0002"}).options.serial, "RX5120-0002");
  EXPECT_EQ(Parse({"-cmd", "list"}).options.command, CM_CMD_LIST);
  // A missing value, or one that names no COM port, ends the run with the usage text.
  for (const auto& args : std::vector<std::vector<const char*>>{
           {"-port"}, {"-sn"}, {"-port", "0"}, {"-port", "256"}, {"-port", "COM3"}, {"-port", "3x"}, {"-port", ""}}) {
    const Parsed p = Parse(args);
    EXPECT_EQ(p.result, -1) << args.size();
    EXPECT_EQ(p.out, kUsage);
  }
}

TEST(CliTest, AChildOfAllReadsItsOwnOptionsFirstAndPastTheParentsChoice) {
  // The tag is one argument: even a serial number such as "-sn" cannot take the next one.
  const Parsed child = Parse({"-port", "3", "-outtag=-sn", "-allchild", "-settings", "-all", "-port", "5", "-sn", "X",
                              "-outtag=Y", "-lang"});
  EXPECT_EQ(child.result, CM_PARSE_CONTINUE);
  EXPECT_EQ(child.options.port, 3);
  EXPECT_STREQ(child.options.out_tag, "-sn");
  EXPECT_TRUE(child.options.all_child);
  EXPECT_FALSE(child.options.all);
  EXPECT_EQ(child.options.serial, nullptr);
  EXPECT_STREQ(child.options.settings_path, "-all") << "read as the user's single run reads it";
  EXPECT_EQ(child.options.language, 255);
  EXPECT_EQ(Parse({"-allchild", "-port", "0"}).result, -1) << "the values are still checked";
}

TEST(CliTest, OptionValues) {
  EXPECT_EQ(Parse({"-p", "RX5120x"}).options.product, 0);
  EXPECT_EQ(Parse({"-p", "RX51"}).options.product, -1);
  EXPECT_EQ(Parse({"-p", "rx5120"}).options.product, -1);
  EXPECT_EQ(Parse({"-p"}).options.product, -1);
  EXPECT_EQ(Parse({"-p", "RX5120", "-p"}).options.product, 0) << "a last -p keeps the earlier value";
  EXPECT_EQ(Parse({"-p", "RX5120", "-p", "X"}).options.product, -1) << "the later value wins";

  EXPECT_EQ(Parse({}).options.language, 255);
  EXPECT_EQ(Parse({"-lang", "255"}).options.language, 255);
  EXPECT_EQ(Parse({"-lang", "256"}).options.language, 0);
  EXPECT_EQ(Parse({"-lang", "7"}).options.language, 7);
  EXPECT_EQ(Parse({"-llevel", "3x"}).options.log_level, 3);
  EXPECT_EQ(Parse({"-llevel", "abc"}).options.log_level, 0);
  EXPECT_EQ(Parse({"-llevel"}).options.log_level, -1);

  EXPECT_STREQ(Parse({"-settings", "a", "-settings", "b"}).options.settings_path, "b");
  // The value of -settings is tested against the remaining options in the same pass.
  const Parsed chained = Parse({"-settings", "-lfile", "x"});
  EXPECT_STREQ(chained.options.settings_path, "-lfile");
  EXPECT_STREQ(chained.options.log_path, "x");

  const Parsed all = Parse({"junk", "-cmd", "date2pill", "-tfile", "t", "-pill", "p", "-pilldate", "d", "-fw", "f"});
  EXPECT_EQ(all.result, CM_PARSE_CONTINUE);
  EXPECT_EQ(all.options.command, CM_CMD_DATE2PILL);
  EXPECT_STREQ(all.options.tracer_path, "t");
  EXPECT_STREQ(all.options.pill_path, "p");
  EXPECT_STREQ(all.options.pill_date, "d");
  EXPECT_STREQ(all.options.fw_path, "f");
  EXPECT_EQ(all.out, "");
  EXPECT_EQ(Parse({"-cmd"}).options.command, CM_CMD_NONE);
}

TEST(CliTest, OptionsThatEndTheRun) {
  const Parsed help = Parse({"-p", "RX5120", "-h", "-cmd", "version"});
  EXPECT_EQ(help.result, 0);
  EXPECT_EQ(help.out, kUsage);
  EXPECT_EQ(help.options.command, CM_CMD_NONE) << "nothing after -h is read";

  const Parsed no_fw = Parse({"-cmd", "update", "-fw"});
  EXPECT_EQ(no_fw.result, -1);
  EXPECT_EQ(no_fw.out, kUsage);

  const Parsed earlier_fw = Parse({"-fw", "a.bin", "-fw"});
  EXPECT_EQ(earlier_fw.result, CM_PARSE_CONTINUE);
  EXPECT_STREQ(earlier_fw.options.fw_path, "a.bin");
}

TEST(CliTest, CommandLookupMatchesKeywordPrefixInTableOrder) {
  const std::pair<const char*, int> cases[] = {
      {"update", 0}, {"update2", 0}, {"params", 1}, {"param_get", 2}, {"param_set", 3}, {"param", CM_CMD_NONE},
      {"version", 4}, {"msg_log", 5}, {"log", 6}, {"pill_upd", 7}, {"tracer", 8}, {"fact_reset", 9},
      {"power_off", 10}, {"reboot", 11}, {"date2pill", 12}, {"list", 13}, {"", CM_CMD_NONE},
      {"Update", CM_CMD_NONE}, {"upd", CM_CMD_NONE},
  };
  for (const auto& [text, index] : cases) EXPECT_EQ(cmCommandLookup(text), index) << text;
}

struct MainRun {
  int status;
  std::string out;
};

MainRun Main(std::vector<const char*> args) {
  args.insert(args.begin(), "halvern");
  TempDir empty;  // no USB serial device anywhere
  ScopedEnv env("HALVERN_SYSFS_ROOT", empty.path().string());
  testing::internal::CaptureStdout();
  const int status = cmMain(static_cast<int>(args.size()), args.data());
  return {status, testing::internal::GetCapturedStdout()};
}

TEST(CliTest, RunsThatNeedNoDevice) {
  const std::string unknown = "[ERROR]\tProduct is unknown\n\n" + kRule + "\n\n";
  const struct {
    std::vector<const char*> args;
    int status;
    std::string out;
  } cases[] = {
      {{}, -1, kUsage},
      {{"-h"}, 0, kUsage},
      {{"-cmd", "version"}, -1, unknown},
      {{"-p", "RX51", "-cmd", "version"}, -1, unknown},
      {{"-cmd", "bogus", "-p"}, -1, unknown},
      {{"-p", "RX5120", "-cmd", "version"}, -1, "[ERROR]Product is not plugged in PC\n"},
      {{"-cmd", "date2pill", "-pill", "f"}, -1, "\nPILL language mandatory!\n" + kUsage},
      {{"-cmd", "date2pill", "-lang", "256"}, -1, "\nPILL file name missing!\n" + kUsage},
  };
  for (const auto& c : cases) {
    const MainRun r = Main(c.args);
    EXPECT_EQ(r.status, c.status) << testing::PrintToString(c.args);
    EXPECT_EQ(r.out, kBanner + c.out) << testing::PrintToString(c.args);
  }
}

}  // namespace
}  // namespace halvern_test
