// What a run says when a file it was given cannot be used: the designed lines on standard
// output stay as they are, and standard error holds one "halvern: " line naming the file and
// the reason. Also --help and --version of the three programs.
#include <fstream>
#include <string>

#include "tests/e2e_support.h"

namespace e2e {
namespace {

const std::string kVersion = "Product: SW Version 01.02.0345\n\n" + kRule + "\n";
const std::string kClosing = "\n" + kRule + "\n";

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

class DiagnosticsTest : public SimTest {
 protected:
  std::string Path(const std::string& name) const { return (dir_.path() / name).string(); }
  std::string Write(const std::string& name, const std::string& text) {
    std::ofstream(Path(name), std::ios::binary) << text;
    return Path(name);
  }
};

TEST_F(DiagnosticsTest, AFileThatCannotBeUsedIsNamedOnceOnStandardErrorWithItsReason) {
  StartTarget();
  const std::string missing = Path("missing.bin"), dir = dir_.path().string();
  const std::string empty = Write("empty.bin", ""), names = Write("filter.cfg", "x99999\n");
  const std::string no_such = "': No such file or directory\n", is_dir = "': Is a directory\n";
  const std::string tracer_25 = "main_tracer, 25: [ERROR]: Opening file=";
  const std::string tracer_64 = "main_tracer, 64: [ERROR]: Nothing to configure. You must specify the logger "
                                "configurations in the text file(";
  const struct {
    std::vector<std::string> args;
    std::string out;  // standard output after the banner; empty: only `contains` is checked
    std::string contains;
    std::string err;
    std::vector<std::pair<std::string, std::string>> env = {};
  } cases[] = {
      {{"-cmd", "update", "-fw", missing}, kVersion + "\n[ERROR]\tFW Update was not sucessfully started!\n" + kClosing,
       "", "halvern: cannot open '" + missing + no_such},
      {{"-cmd", "update", "-fw", empty}, kVersion + "\n[ERROR]\tFW Update was not successfully finished!\n" + kClosing,
       "", "halvern: '" + empty + "' is empty: there is no firmware image to send\n"},
      {{"-cmd", "pill_upd", "-lang", "1", "-pill", missing},
       kVersion + "cmPillUpdStart ERROR:2 Unable to open file " + missing +
           "\n\n[ERROR]\tPILL Update was not started sucessfully!\n",
       "", "halvern: cannot open '" + missing + no_such},
      {{"-cmd", "date2pill", "-lang", "1", "-pilldate", "240101", "-pill", missing},
       "Couldn't open PILL file '" + missing + "'\n", "", "halvern: cannot open '" + missing + no_such},
      {{"-cmd", "tracer", "-tfile", missing}, tracer_25 + missing + "\n" + tracer_64 + missing + ")\n", "",
       "halvern: cannot open '" + missing + no_such},
      {{"-cmd", "tracer", "-tfile", dir}, tracer_25 + dir + "\n" + tracer_64 + dir + ")\n", "",
       "halvern: cannot read '" + dir + is_dir},
      {{"-cmd", "tracer", "-tfile", names}, "", "[ERROR]: Opening the text file=" + dir + "\n",
       "halvern: cannot read '" + dir + is_dir, {{"HALVERN_MID_FILE", dir}}},
      {{"-cmd", "param_get", "-settings", missing}, "", "ERROR: Couldn't open '" + missing + "'\n\n" + kRule,
       "halvern: cannot open '" + missing + no_such},
      {{"-cmd", "param_set", "-settings", missing}, "", "OPEN: " + missing + "\n\n" + kRule,
       "halvern: cannot open '" + missing + no_such},
      {{"-cmd", "log", "-lfile", Path("no/dir/log.txt")}, "", "Trace  : 'q' => quit\n",
       "halvern: cannot create '" + Path("no/dir/log.txt") + no_such},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    extra_env_ = c.env;
    std::vector<std::string> args = {"-p", "RX5120"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const auto r = Run(args, "q");
    if (!c.out.empty()) {
      EXPECT_EQ(r.out, kBanner + c.out);
    }
    EXPECT_NE(r.out.find(c.contains), std::string::npos) << r.out;
    EXPECT_EQ(Count(r.out, "halvern: "), 0u) << r.out;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(Count(r.err, "halvern: "), 1u);
    EXPECT_EQ(r.exit_status, 1);
  }
}

TEST_F(DiagnosticsTest, HelpListsEveryCommandAndOptionWithoutTheBannerOrADevice) {
  StartTarget();
  // Anywhere among the arguments, even where an option would take it as its value.
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--help"}, {"-p", "RX5120", "-cmd", "update", "--help"}, {"-fw", "--help", "-cmd", "reboot"}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const auto r = Run(args);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out.find(kRule), std::string::npos) << "no banner";
    EXPECT_EQ(r.err, "");
    for (const char* keyword : {"update", "params", "param_get", "param_set", "version", "msg_log", "log", "pill_upd",
                                "tracer", "fact_reset", "power_off", "reboot", "date2pill", "list"})
      EXPECT_NE(r.out.find("\n  " + std::string(keyword) + " "), std::string::npos) << keyword;
    for (const char* option : {"-p", "-cmd", "-fw", "-pill", "-lang", "-pilldate", "-settings", "-tfile", "-lfile",
                               "-llevel", "-port", "-sn", "-verify", "-expect", "-all", "-watch", "-ondone", "-logdir",
                               "-skipcurrent", "-tdir", "-h", "--help", "--version"})
      EXPECT_NE(r.out.find("\n  " + std::string(option) + " "), std::string::npos) << option;
    for (const char* part : {"\n  0 ", "\n  1 ", "\n  255 ", "man halvern"})
      EXPECT_NE(r.out.find(part), std::string::npos) << part;
  }
  EXPECT_TRUE(target_->Received().empty()) << "no device touched";
  // -h keeps its text.
  EXPECT_EQ(Run({"-h"}).out, kBanner + kUsage);
}

// --version names the release (the packages' number) and the tool version that the banner
// shows, so that an operator never takes them for two versions of one thing.
TEST(VersionTest, EveryProgramTellsItsReleaseAndTheToolVersionOfTheBanner) {
  const std::pair<const char*, std::string> programs[] = {
      {HALVERN_EXE, "halvern"}, {HALVERN_TRACE_EXE, "halvern-trace"}, {HALVERN_EXTCAP_EXE, "halvern-extcap"}};
  for (const auto& [exe, name] : programs) {
    const auto r = platform::SpawnCapture({exe, "--version"}, {}, "", 10000);
    EXPECT_EQ(r.out, name + " " + HALVERN_TEST_VERSION + " (tool version 1.01)\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_status, 0);
  }
  const auto trace_help = platform::SpawnCapture({HALVERN_TRACE_EXE, "--help"}, {}, "", 10000);
  EXPECT_NE(trace_help.out.find("--version"), std::string::npos);
  // The packet viewer is told the same version.
  const auto interfaces = platform::SpawnCapture({HALVERN_EXTCAP_EXE, "--extcap-interfaces"}, {}, "", 10000);
  EXPECT_EQ(interfaces.out.rfind(std::string("extcap {version=") + HALVERN_TEST_VERSION + "}", 0), 0u);
  // The manual pages name it in their headers.
  for (const char* page : {"halvern.1", "halvern-trace.1", "halvern-extcap.1"}) {
    std::ifstream in(std::string(HALVERN_SOURCE_DIR) + "/man/" + page);
    std::string header;
    std::getline(in, header);
    EXPECT_NE(header.find(std::string("\"halvern ") + HALVERN_TEST_VERSION + "\""), std::string::npos) << page;
  }
}

}  // namespace
}  // namespace e2e
