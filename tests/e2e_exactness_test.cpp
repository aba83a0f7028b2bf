// Standard output keeps the tool's own console texts; every other failure is one line on
// standard error naming its file or line. No part of a settings line too long for one read is
// ever sent, and param_get's output file lands beside its settings file. The settings-file
// commands, the log and tracer consoles and date2pill against the simulated target, both
// outputs compared byte for byte.
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>
#include <set>

#include "tests/e2e_console.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

const std::string kHeader = kBanner + "Product: SW Version 01.02.0345\n\n" + kRule + "\n";
const std::string kLogHeader = "Product: SW Version 01.02.0345\n\nTrace  : <ctime>\n\nTrace  : 'q' => quit\n\n"
                               "Trace  : 'h' => help\n";
const std::string kTracerUsage =
    "USAGE:\n------------------\ns\t=>\t show logger configurations\nq\t=>\t quit\nh\t=>\t help\n\n";

// A parameter-area request as the target received it: get (true) or set, address, count, data.
struct AreaRequest {
  bool get;
  uint16_t address;
  uint16_t count;
  std::vector<uint8_t> data;
  bool operator==(const AreaRequest&) const = default;
};

void PrintTo(const AreaRequest& r, std::ostream* os) {
  *os << (r.get ? "{get " : "{set ") << r.address << ", " << r.count << ", " << ::testing::PrintToString(r.data)
      << "}";
}

class ExactnessTest : public ConsoleTest {
 protected:
  std::vector<AreaRequest> AreaRequests() const {
    std::vector<AreaRequest> requests;
    for (const auto& f : target_->Received()) {
      if (f.event_id != 0x0033 && f.event_id != 0x0035) continue;
      const auto& p = f.params;  // IE_PARAM_AREA: id, u16 length, type, u16 address, u16 count, data
      if (p.size() < 8) continue;
      requests.push_back({f.event_id == 0x0033, static_cast<uint16_t>(p[4] | p[5] << 8),
                          static_cast<uint16_t>(p[6] | p[7] << 8), std::vector<uint8_t>(p.begin() + 8, p.end())});
    }
    return requests;
  }
  std::string Path(const std::string& name) const { return (work_ / name).string(); }

  // The trace file names the tracer can pick in the next half minute, each a link to a device
  // that takes no byte: every record it writes is lost.
  std::set<std::string> TraceFilesThatTakeNothing() {
    std::set<std::string> names;
    const std::time_t now = std::time(nullptr);
    for (std::time_t t = now - 2; t < now + 30; ++t) {
      const std::tm tm = *std::localtime(&t);
      char name[96];
      std::snprintf(name, sizeof name, "cmbs_dect_tracer-%d_%d_%d__%d_%d_%d.txt", tm.tm_mday, tm.tm_mon + 1,
                    tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
      std::error_code ec;
      fs::create_symlink("/dev/full", work_ / name, ec);
      names.insert(name);
    }
    return names;
  }
};

TEST_F(ExactnessTest, NewTextsGoToStandardErrorAndLongLinesAreRefusedWhole) {
  StartTarget();
  extra_env_.push_back({"HALVERN_WAIT_MS", "2000"});  // a request that went unanswered fails the row soon
  const std::string left_out = "longer than 254 characters: left out\n";
  std::string hex;
  for (int i = 0; i < 130; ++i) hex += "A5";  // 260 digits

  const std::string array_set = WriteFile("array.txt", "0x0040:a:" + hex + ";\n").string();
  const std::string long_get = WriteFile("long_get.txt", "0x0010:a:2" + std::string(300, ' ') + "\n").string();
  const std::string comment = "#" + std::string(254, '-') + "16:b:7F\n";  // its second piece reads as a write
  const std::string long_comment = WriteFile("comment.txt", comment).string();
  const std::string between =
      WriteFile("between.txt", "16:b:11\n0x0020:a:" + hex + hex + "\n17:b:22\n").string();  // no ";": to the end
  const std::string no_line_end = WriteFile("no_end.txt", "16:b:7F" + std::string(1 << 20, '0')).string();
  const std::string wrong = WriteFile("wrong.txt", "abc:b:\n48:b:\n").string();
  const std::string folder = work_.string();  // opens, but does not read
  const std::string unmade = WriteFile("unmade.txt", "16:b:\n").string();
  fs::create_directory(Path("unmade_01_02_0345.out"));
  const std::string unwritten = WriteFile("unwritten.txt", "48:b:\n").string();
  fs::create_symlink("/dev/full", Path("unwritten_01_02_0345.out"));
  fs::create_directory(work_ / "conf.d");
  const std::string beside = WriteFile("conf.d/params.txt", "48:b:\n").string();
  const std::string short_pill = WriteFile("short.pill", std::string(31, 'P')).string();
  const std::string pill = WriteFile("stamp.pill", std::string(64, 'P')).string();
  const std::string logger = WriteFile("logger.cfg", "a\n").string();
  const std::string long_logger = WriteFile("long.cfg", "#\n" + std::string(63, 'm') + "\n").string();
  const std::string no_log = Path("no/dir/log.txt");
  const std::set<std::string> trace_names = TraceFilesThatTakeNothing();

  const std::string dropped =
      "main_tracer_event, 130: [NS]: Buffer is not large enougth to hold target data\n"
      "main_tracer_event, 497: [WARNING]: Invalid parameters for received message(mid=6), (src=5), (dst=4), "
      "(nsize=0)\n";
  // A trace record is written (and lost), then one too long to take: once that one is reported,
  // the first has been handled.
  auto trace_to_a_full_disk = [&] {
    StartTool({"-p", "RX5120", "-cmd", "tracer", "-tfile", logger});
    platform::SpawnResult r;
    WaitForOutput(kTracerUsage);
    target_->PushTraceIndication(TraceInd(2, 1, 83, 0x00, 0x00, {1, 2, 3}));
    target_->PushTraceIndication(TraceInd(4, 5, 6, 0x00, 0x00, std::vector<uint8_t>(257, 0x77)));
    WaitForOutput(dropped);
    Keys("q");
    r.exit_status = Finish();
    r.out = tool_->Out();
    r.err = tool_->Err();
    for (const std::string& name : trace_names)
      if (const size_t at = r.err.find("'" + name + "'"); at != std::string::npos)
        r.err.replace(at + 1, name.size(), "TRACE");
    return r;
  };
  // A file size limit of nothing: the stamp cannot be written (the coverage runtime, which cannot
  // write either, keeps quiet).
  auto stamp_without_room = [&] {
    return platform::SpawnCapture({"/bin/sh", "-c", "ulimit -f 0; trap '' XFSZ; exec \"$0\" \"$@\"", HALVERN_EXE,
                                   "-cmd", "date2pill", "-lang", "3", "-pill", pill, "-pilldate", "240101"},
                                  {{"GCOV_ERROR_FILE", "/dev/null"}}, "", 30000);
  };

  struct Row {
    std::string what;
    std::vector<std::string> args;
    std::string input;
    std::string out;  // clock texts masked
    std::string err;
    int status;
    std::vector<AreaRequest> wire = {};
    std::function<platform::SpawnResult()> run = nullptr;  // instead of running args with input
  };
  const std::string set = "param_set", get = "param_get";
  const Row rows[] = {
      {"an array line of 260 digits is not written in part", {"-cmd", set, "-settings", array_set}, "",
       kHeader + "OPEN: " + array_set + "\n\n" + kRule, "halvern: line 1: " + left_out, 1},
      {"param_get reads nothing for a long line", {"-cmd", get, "-settings", long_get}, "",
       kHeader + "OPEN: " + long_get + " => OUT: " + Path("long_get_01_02_0345.out") + "\n\n" + kRule,
       "halvern: line 1: " + left_out, 1},
      {"a long comment stays a comment", {"-cmd", set, "-settings", long_comment}, "",
       kHeader + "OPEN: " + long_comment + "\n\n" + comment + kRule, "", 0},
      {"the lines around a long one are served", {"-cmd", set, "-settings", between}, "",
       kHeader + "OPEN: " + between + "\n\n" + "adr   16, len  1 Data: 11\nadr   17, len  1 Data: 22\n" + kRule,
       "halvern: line 2: " + left_out, 1, {{false, 16, 1, {0x11}}, {false, 17, 1, {0x22}}}},
      {"a file without a line end", {"-cmd", set, "-settings", no_line_end}, "",
       kHeader + "OPEN: " + no_line_end + "\n\n" + kRule, "halvern: line 1: " + left_out, 1},
      {"a wrong line is echoed and named", {"-cmd", get, "-settings", wrong}, "",
       kHeader + "OPEN: " + wrong + " => OUT: " + Path("wrong_01_02_0345.out") + "\n\n" +
           "abc:b:\nadr   48, len  1 48:b:00\n\n" + kRule,
       "halvern: line 1: wrong line\n", 1, {{true, 48, 1, {}}}},
      {"a settings file that cannot be read", {"-cmd", set, "-settings", folder}, "",
       kHeader + "OPEN: " + folder + "\n\n" + kRule, "halvern: cannot read '" + folder + "': Is a directory\n", 1},
      {"an output file that cannot be created", {"-cmd", get, "-settings", unmade}, "",
       kHeader + "OPEN: " + unmade + " => OUT: " + Path("unmade_01_02_0345.out") + "\n\n" + kRule,
       "halvern: cannot create '" + Path("unmade_01_02_0345.out") + "': Is a directory\n", 1},
      {"an output file that cannot be written", {"-cmd", get, "-settings", unwritten}, "",
       kHeader + "OPEN: " + unwritten + " => OUT: " + Path("unwritten_01_02_0345.out") + "\n\n" +
           "adr   48, len  1 48:b:00\n\n" + kRule,
       "halvern: cannot write '" + Path("unwritten_01_02_0345.out") + "': No space left on device\n", 1,
       {{true, 48, 1, {}}}},
      {"the output file lands beside its settings file", {"-cmd", get, "-settings", beside}, "",
       kHeader + "OPEN: " + beside + " => OUT: " + Path("conf.d/params_01_02_0345.out") + "\n\n" +
           "adr   48, len  1 48:b:00\n\n" + kRule,
       "", 0, {{true, 48, 1, {}}}},
      {"a log file that cannot be created", {"-cmd", "log", "-llevel", "1", "-lfile", no_log}, "q",
       kBanner + kLogHeader + "\n" + kRule + "\n",
       "halvern: cannot create '" + no_log + "': No such file or directory\n", 1},
      {"a log file that cannot be written", {"-cmd", "log", "-llevel", "1", "-lfile", "/dev/full"}, "q",
       kBanner + kLogHeader + "Trace  : in File \n\n" + kRule + "\n",
       "halvern: cannot write '/dev/full': No space left on device\n", 1},
      {"trace records that were lost", {}, "", kBanner + kTracerUsage + dropped,
       "halvern: cannot write 'TRACE': records were lost\n", 1, {}, trace_to_a_full_disk},
      {"a logger command too long", {"-cmd", "tracer", "-tfile", long_logger}, "q",
       kBanner + "main_tracer, 64: [ERROR]: Nothing to configure. You must specify the logger configurations in the "
                 "text file(" + long_logger + ")\n",
       "halvern: '" + long_logger + "' line 2: logger command longer than 62 characters (63)\n", 1},
      {"a PILL file too short for its stamp",
       {"-cmd", "date2pill", "-lang", "3", "-pill", short_pill, "-pilldate", "240101"}, "", kBanner,
       "halvern: PILL file '" + short_pill + "' is too short for the date stamp (32 bytes needed)\n", 1},
      {"a PILL file that cannot be written", {}, "", kBanner, "halvern: cannot write '" + pill + "': File too large\n",
       1, {}, stamp_without_room},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const size_t before = AreaRequests().size();
    std::vector<std::string> args = {"-p", "RX5120"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    const platform::SpawnResult r = row.run ? row.run() : Run(args, row.input);
    EXPECT_EQ(MaskTimes(r.out), row.out);
    EXPECT_EQ(r.err, row.err);
    EXPECT_EQ(r.exit_status, row.status);
    const std::vector<AreaRequest> all = AreaRequests();
    EXPECT_EQ(std::vector<AreaRequest>(all.begin() + static_cast<long>(before), all.end()), row.wire);
  }
  EXPECT_EQ(target_->ParamArea(16, 2), (std::vector<uint8_t>{0x11, 0x22}));
  EXPECT_EQ(target_->ParamArea(0x20, 260), std::vector<uint8_t>(260, 0));  // 0x40 included
  EXPECT_EQ(ReadFile(Path("long_get_01_02_0345.out")), "");
  EXPECT_EQ(ReadFile(Path("conf.d/params_01_02_0345.out")), "48:b:00\n");
  EXPECT_EQ(ReadFile(pill), std::string(64, 'P'));
}

}  // namespace
}  // namespace e2e
