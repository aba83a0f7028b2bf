// Option parsing, command lookup, and the runs of the program that need no device.
#include <gtest/gtest.h>

#include <fstream>
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
  std::string err;
};

Parsed Parse(std::vector<const char*> args) {
  args.insert(args.begin(), "halvern");
  Parsed p{};
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  p.result = cmParseOptions(static_cast<int>(args.size()), args.data(), &p.options);
  p.err = testing::internal::GetCapturedStderr();
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
  ScopedEnv marked(CM_CHILD_ENV, "1");  // as the run over every repeater starts its children
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

// An argument that no test of its pass matches and no option takes as its value: skipped with a
// warning on a classic command line, refused on one that uses any option of the station's.
TEST(CliTest, ArgumentsNothingTakesAreWarnedOfOrRefused) {
  const std::string kReprot = "halvern: unknown option '-reprot'\n";
  const struct {
    std::vector<const char*> args;
    int result;
    std::string err;
  } cases[] = {
      {{"-p", "RX5120", "-cmd", "update", "-reprot", "w.jsonl"}, CM_PARSE_CONTINUE, kReprot},
      {{"junk", "-cmd", "version", "-lang", "3", "more"}, CM_PARSE_CONTINUE, "halvern: unknown option 'junk'\n"},
      {{"-p", "RX5120", "-cmd", "update", "-all", "-reprot", "w.jsonl"}, -1, kReprot},
      {{"-watch", "-cmd", "update", "-reprot", "w.jsonl", "-report", "r"}, -1, kReprot},
      {{"-cmd", "update", "-verify", "-expct", "01.03.0400"}, -1, "halvern: unknown option '-expct'\n"},
      {{"-sn", "X", "-cmd", "version", "stray"}, -1, "halvern: unknown option 'stray'\n"},
      {{"-skipcurrent", "-Expect", "01.03.0400"}, -1, "halvern: unknown option '-Expect'\n"},
      // Values taken by an option are no unknown arguments, whatever they look like.
      {{"-all", "-settings", "-reprot", "-report", "-watchx"}, CM_PARSE_CONTINUE, ""},
      {{"-all", "-cmd", "update", "-fw", "-x", "-ondone", "-y", "-logdir", "-z"}, CM_PARSE_CONTINUE, ""},
      {{"-port", "3", "-lfile", "-all"}, CM_PARSE_CONTINUE, ""},
      // The options the tool gives its own children are unknown to a user's command line.
      {{"-p", "RX5120", "-cmd", "version", "-allchild"}, CM_PARSE_CONTINUE, "halvern: unknown option '-allchild'\n"},
      {{"-port", "3", "-allchild", "-cmd", "version"}, -1, "halvern: unknown option '-allchild'\n"},
      {{"-port", "3", "-outtag=X", "-allchild", "-all"}, -1, "halvern: unknown option '-outtag=X'\n"},
  };
  for (const auto& c : cases) {
    const Parsed p = Parse(c.args);
    EXPECT_EQ(p.result, c.result) << testing::PrintToString(c.args);
    EXPECT_EQ(p.err, c.err) << testing::PrintToString(c.args);
    EXPECT_EQ(p.out, "") << testing::PrintToString(c.args);
    EXPECT_FALSE(p.options.all_child) << testing::PrintToString(c.args);
    EXPECT_EQ(p.options.out_tag, nullptr) << testing::PrintToString(c.args);
  }
}

// The parent marks its children through their environment; only then, and only where it puts
// them (first, "-port N", the tag, "-allchild"), are the hidden options read.
TEST(CliTest, HiddenOptionsAreReadOnlyInTheLeadingPlaceOfAMarkedChild) {
  ScopedEnv marked(CM_CHILD_ENV, "1");
  const struct {
    std::vector<const char*> args;
    int result;
    bool all_child;
    const char* out_tag;
  } cases[] = {
      {{"-port", "3", "-allchild", "-cmd", "version", "-all"}, CM_PARSE_CONTINUE, true, nullptr},
      {{"-port", "3", "-outtag=RX1", "-allchild", "-cmd", "param_get", "-all"}, CM_PARSE_CONTINUE, true, "RX1"},
      {{"-cmd", "version", "-port", "3", "-allchild"}, -1, false, nullptr},        // not in the leading place
      {{"-port", "3", "-cmd", "version", "-allchild"}, -1, false, nullptr},        // something between
      {{"-outtag=RX1", "-port", "3", "-allchild"}, -1, false, nullptr},             // the tag before the port
      {{"-port", "3", "-outtag=RX1", "-outtag=RX2", "-allchild"}, -1, false, nullptr},  // two tags
  };
  for (const auto& c : cases) {
    const Parsed p = Parse(c.args);
    EXPECT_EQ(p.result, c.result) << testing::PrintToString(c.args) << p.err;
    EXPECT_EQ(p.options.all_child, c.all_child) << testing::PrintToString(c.args);
    if (c.out_tag) EXPECT_STREQ(p.options.out_tag, c.out_tag) << testing::PrintToString(c.args);
    else EXPECT_EQ(p.options.out_tag, nullptr) << testing::PrintToString(c.args);
  }
  ScopedEnv other(CM_CHILD_ENV, "0");
  EXPECT_EQ(Parse({"-port", "3", "-allchild", "-cmd", "version"}).result, -1) << "only the parent's mark counts";
}

// -ondone, -logdir and -skipcurrent; what the parent carries out itself is left out of its
// children's arguments as the walk read it: a pass of the parent's options only goes whole, one
// that also set something a child needs goes whole to the child.
TEST(CliTest, TheParentsOwnOptionsAndTheirValuesAreMarkedAsTheWalkReadsThem) {
  const struct {
    std::vector<const char*> args;
    const char* on_done;
    const char* log_dir;
    bool skip_current;
    std::vector<int> parent_only;  // positions in argv, the program's name at 0
  } cases[] = {
      {{"-all", "-ondone", "lp -d label", "-cmd", "version"}, "lp -d label", nullptr, false, {2, 3}},
      {{"-logdir", "logs", "-watch", "-ondone", "-x"}, "-x", "logs", false, {1, 2, 4, 5}},
      {{"-ondone", "-logdir", "d", "-all"}, "-logdir", "d", false, {1, 2, 3}},
      {{"-settings", "-ondone", "x", "-all"}, "x", nullptr, false, {}},  // the settings file "-ondone"
      {{"-ondone", "-skipcurrent", "-expect", "01.02.0003"}, "-skipcurrent", nullptr, true, {}},
      {{"-skipcurrent", "-expect", "01.02.0003"}, nullptr, nullptr, true, {}},
  };
  for (const auto& c : cases) {
    const Parsed p = Parse(c.args);
    EXPECT_EQ(p.result, CM_PARSE_CONTINUE) << testing::PrintToString(c.args) << p.err;
    EXPECT_EQ(p.options.on_done ? std::string(p.options.on_done) : "-", c.on_done ? c.on_done : "-");
    EXPECT_EQ(p.options.log_dir ? std::string(p.options.log_dir) : "-", c.log_dir ? c.log_dir : "-");
    EXPECT_EQ(p.options.skip_current, c.skip_current) << testing::PrintToString(c.args);
    EXPECT_EQ(p.options.parent_only, c.parent_only) << testing::PrintToString(c.args);
  }
  for (const char* option : {"-ondone", "-logdir"}) {
    const Parsed p = Parse({"-all", option});
    EXPECT_EQ(p.result, -1) << option;
    EXPECT_EQ(p.err, std::string("halvern: ") + option +
                         (option == std::string("-ondone") ? " needs a command\n" : " needs a directory\n"));
  }
  // A child reads past them: they are its parent's.
  ScopedEnv marked(CM_CHILD_ENV, "1");
  const Parsed child = Parse({"-port", "3", "-allchild", "-settings", "-ondone", "x", "-all"});
  EXPECT_EQ(child.options.on_done, nullptr);
  EXPECT_STREQ(child.options.settings_path, "-ondone");
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

MainRun Main(std::vector<const char*> args, std::string* err = nullptr) {
  args.insert(args.begin(), "halvern");
  TempDir empty;  // no USB serial device anywhere
  ScopedEnv env("HALVERN_SYSFS_ROOT", empty.path().string());
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const int status = cmMain(static_cast<int>(args.size()), args.data());
  const std::string errors = testing::internal::GetCapturedStderr();
  if (err) *err = errors;
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

// The new options' usage errors: one line on standard error, the tool's -1, nothing else done.
TEST(CliTest, StationOptionsOutsideTheirRunsAreUsageErrors) {
  const std::pair<std::vector<const char*>, std::string> cases[] = {
      {{"-p", "RX5120", "-cmd", "update", "-fw", "f", "-ondone", "true"}, "-ondone works only with -all or -watch"},
      {{"-p", "RX5120", "-cmd", "update", "-fw", "f", "-logdir", "d"}, "-logdir works only with -all or -watch"},
      {{"-p", "RX5120", "-cmd", "update", "-fw", "f", "-all", "-skipcurrent"}, "-skipcurrent works only with -expect"},
      {{"-p", "RX5120", "-cmd", "update", "-fw", "f", "-watch", "-http", "80x"},
       "-http: '80x' is not a port number (0 to 65535; 0 picks a free one)"},
      {{"-p", "RX5120", "-cmd", "update", "-fw", "f", "-all", "-http", "::1:80"},
       "-http: '::1:80' is not [ADDR:]PORT (an IPv6 address goes in brackets)"},
      {{"-p", "RX5120", "-cmd", "update", "-fw", "f", "-all", "-reprot", "r"}, "unknown option '-reprot'"},
      {{"-p", "RX5120", "-cmd", "log", "-tdir", "."}, "-tdir works only with tracer"},
      {{"-p", "RX5120", "-cmd", "tracer", "-tfile", "t", "-tdir"}, "-tdir needs a directory"},
      {{"-p", "RX5120", "-cmd", "tracer", "-tfile", "t", "-tdir", ".", "-tfiel", "t"}, "unknown option '-tfiel'"},
  };
  for (const auto& [args, error] : cases) {
    std::string err;
    const MainRun r = Main(args, &err);
    EXPECT_EQ(r.status, -1) << testing::PrintToString(args);
    EXPECT_EQ(r.out, kBanner) << testing::PrintToString(args);
    EXPECT_EQ(err, "halvern: " + error + "\n") << testing::PrintToString(args);
  }
}

// -tdir names a folder that must take the trace file: told before any repeater is looked for
// (none is plugged in here), exit status 1.
TEST(CliTest, TraceDirThatCannotTakeTheFileIsRefusedFirst) {
  TempDir dir;
  const std::string file = (dir.path() / "plain").string();
  std::ofstream(file) << "x";
  const std::pair<std::string, std::string> cases[] = {
      {(dir.path() / "missing").string(), "no such directory"},
      {file, "not a directory"},
  };
  for (const auto& [tdir, why] : cases) {
    std::string err;
    const MainRun r = Main({"-p", "RX5120", "-cmd", "tracer", "-tfile", "t", "-tdir", tdir.c_str()}, &err);
    EXPECT_EQ(r.status, 1) << tdir;
    EXPECT_EQ(r.out, kBanner) << tdir;
    EXPECT_EQ(err, "halvern: cannot write trace files to directory '" + tdir + "': " + why + "\n");
  }
}

}  // namespace
}  // namespace halvern_test
