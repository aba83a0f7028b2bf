// The tracer as a user runs it against the simulated target: console output compared exactly,
// the logger requests on the wire, and the trace file decoded back.
#include <cerrno>
#include <chrono>
#include <ctime>

#include "platform/file_io.h"
#include "tests/e2e_console.h"

namespace e2e {
namespace {

using Bytes = std::vector<uint8_t>;

const std::string kUsage =
    "USAGE:\n------------------\ns\t=>\t show logger configurations\nq\t=>\t quit\nh\t=>\t help\n\n";
const std::string kLine = "---------------------------\n";
const std::string kNotOpen = "main_tracer_event, 300: [ERROR]: Text file is not open!\n";
const Bytes kLoggerOff = {0x3E, 0x01, 0x00, 0x4A, 0x02, 0xFF, 0xFF};

// The text record of one packet, as a reader of the trace file expects it.
std::string Record(const Bytes& packet) {
  std::string r = "BEGIN";
  char hex[4];
  for (size_t i = 0; i < packet.size(); ++i) {
    if (i % 8 == 0) r += "\r\n";
    std::snprintf(hex, sizeof hex, "%.2X ", packet[i]);
    r += hex;
  }
  return r + "\r\nEND\r\n\r\n";
}

std::string Unscramble(std::string text) {
  for (size_t k = 0; k < text.size(); ++k) text[k] = char(text[k] ^ "Q&Z"[k % 3]);
  return text;
}

std::string StatusBlock(const std::vector<const char*>& on, const std::string& filter) {
  const char* rows[] = {"ALL_TASKS   ", "MAC_TASK    ", "DLU_TASK    ", "DLC_TASK    ", "NWK_TASK    ",
                        "IWU_TASK    ", "REP_TASK    ", "DTB_TASK    ", "TERM_TASK   ", "CMBS_TASK   "};
  std::string s = kLine;
  for (const char* row : rows) {
    bool is_on = false;
    for (const char* o : on) is_on |= std::string(row).rfind(o, 0) == 0;
    s += std::string(row) + "----------> " + (is_on ? "on" : "off") + "\n";
  }
  return s + filter + kLine;
}

class TracerTest : public ConsoleTest {
 protected:
  std::vector<std::filesystem::path> TraceFiles() const {
    std::vector<std::filesystem::path> files;
    for (const auto& e : std::filesystem::directory_iterator(work_))
      if (e.path().filename().string().rfind("cmbs_dect_tracer-", 0) == 0) files.push_back(e.path());
    return files;
  }
  std::vector<Bytes> ConfigRequests() const {
    std::vector<Bytes> blocks;
    for (const auto& f : target_->Received())
      if (f.event_id == 0x3801) blocks.push_back(f.params);
    return blocks;
  }
};

TEST_F(TracerTest, RecordsTraceEventsAndSwitchesTheLoggerOffOnQuit) {
  StartTarget();
  const auto config = WriteFile("logger.cfg", "# layers to trace\n\nm,u\n");
  StartTool({"-p", "RX5120", "-cmd", "tracer", "-tfile", config.string()});
  WaitForOutput(kUsage);
  ASSERT_TRUE(target_->WaitForEvent(0x3801, std::chrono::seconds(5)));
  EXPECT_EQ(target_->LoggerMask(), 0x0003);

  Bytes ten(10, 0xEE), eight = {9, 8, 4, 1, 2, 3, 4, 5};
  target_->PushTraceIndication(TraceInd(2, 1, 83, 0x00, 0x00, ten));
  target_->PushTraceIndication(TraceInd(2, 1, 83, 0x07, 0x21, eight));
  target_->PushTraceIndication(TraceInd(4, 5, 6, 0x00, 0x00, Bytes(257, 0x77)));  // too long: dropped
  target_->PushTraceIndication(TraceInd(7, 8, 9, 0x03, 0x21, eight));
  const std::string dropped =
      "main_tracer_event, 130: [NS]: Buffer is not large enougth to hold target data\n"
      "main_tracer_event, 497: [WARNING]: Invalid parameters for received message(mid=6), (src=5), (dst=4), "
      "(nsize=0)\n";
  WaitForOutput(dropped);
  // The status answer comes after the events on the line: once its block is shown, all are handled.
  const std::string block = StatusBlock({"MAC", "DLU"}, "MSG_FILTER  ----------> off\n");
  Keys("sHSQ");
  WaitForOutput(block);
  Keys("hq");
  EXPECT_EQ(Finish(), 0);
  EXPECT_EQ(tool_->Out(), kBanner + kUsage + dropped + "\n" + block + kUsage);

  const auto files = TraceFiles();
  ASSERT_EQ(files.size(), 1u);
  const std::string expected =
      Record(Concat({{0x4C, 0x47, 2, 1, 83, 2, 10}, ten})) + Record(Concat({{0x4C, 0x47, 2, 1, 83, 2, 8}, eight})) +
      Record({1, 0, 2, 1, 83, 1, 0x10, 8, 4, 1, 2}) + Record(Concat({{0x4C, 0x47, 7, 8, 9, 7, 8}, eight})) +
      Record({0, 1, 7, 8, 9, 7, 0x10, 8, 4, 1, 2});
  EXPECT_EQ(Unscramble(ReadFile(files[0])), expected);

  ASSERT_TRUE(target_->WaitForFrames(5, std::chrono::seconds(5)));
  EXPECT_EQ(ReceivedEvents(), (std::vector<uint16_t>{0xFF01, 0xFF05, 0x3801, 0x3802, 0x3801}));
  EXPECT_EQ(ConfigRequests(), (std::vector<Bytes>{{0x3E, 0x01, 0x01, 0x4A, 0x02, 0x03, 0x00}, kLoggerOff}));
}

// -tdir: the trace file goes into the folder given, none into the current one.
TEST_F(TracerTest, TraceDirTakesTheTraceFile) {
  StartTarget();
  const auto dir = work_ / "traces";
  std::filesystem::create_directory(dir);
  StartTool({"-p", "RX5120", "-cmd", "tracer", "-tfile", WriteFile("logger.cfg", "a\n").string(), "-tdir", dir.string()});
  WaitForOutput(kUsage);
  Keys("q");
  EXPECT_EQ(Finish(), 0);
  EXPECT_TRUE(TraceFiles().empty());
  size_t in_dir = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    in_dir += e.path().filename().string().rfind("cmbs_dect_tracer-", 0) == 0;
  EXPECT_EQ(in_dir, 1u);
}

TEST_F(TracerTest, FilterStatusNamesIdsFromTheNameFile) {
  StartTarget();
  extra_env_.push_back({"HALVERN_MID_FILE", WriteFile("names.txt", "MY_MSG, 200\r\nOTHER, 3\r\n").string()});
  const auto config = WriteFile("logger.cfg", "x200,3\n");
  StartTool({"-p", "RX5120", "-cmd", "tracer", "-tfile", config.string()});
  WaitForOutput(kUsage);
  const std::string block = StatusBlock({}, "MSG_FILTER  ----------> on\n *200 ------->MY_MSG\n *  3 ------->OTHER\n");
  Keys("s");
  WaitForOutput(block);
  Keys("s");
  WaitForOutput(block, 2);
  Keys("q");
  EXPECT_EQ(Finish(), 0);
  EXPECT_EQ(tool_->Out(), kBanner + kUsage + "\n" + block + "\n" + block);
  ASSERT_TRUE(target_->WaitForFrames(6, std::chrono::seconds(5)));
  Bytes filter = {0x3E, 0x01, 0x01, 0x4A, 0x02, 0x00, 0x80, 0x1B, 0x2A, 0x00, 0x28, 0x00,
                  200,  0,    0,    0,    3,    0,    0,    0};
  filter.resize(filter.size() + 32, 0xFF);
  EXPECT_EQ(ConfigRequests(), (std::vector<Bytes>{filter, kLoggerOff}));
  EXPECT_EQ(TraceFiles().size(), 1u);
  EXPECT_EQ(ReadFile(TraceFiles().at(0)), "");
}

TEST_F(TracerTest, WithoutTraceFileTheConsoleStillRunsAndNothingIsSwitchedOff) {
  StartTarget();
  // Directories under every name the trace file can get in the next minute.
  const std::time_t now = std::time(nullptr);
  for (std::time_t t = now - 2; t < now + 60; ++t) {
    const std::tm tm = *std::localtime(&t);
    char name[96];
    std::snprintf(name, sizeof name, "cmbs_dect_tracer-%d_%d_%d__%d_%d_%d.txt", tm.tm_mday, tm.tm_mon + 1,
                  tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
    std::filesystem::create_directory(work_ / name);
  }
  const auto config = WriteFile("logger.cfg", "a\n");
  StartTool({"-p", "RX5120", "-cmd", "tracer", "-tfile", config.string()});
  const std::string failed = "main_tracer_event, 533: [ERROR]: Opening the file, error=21\n";
  WaitForOutput(failed + kUsage);
  target_->PushTraceIndication(TraceInd(2, 1, 83, 0x00, 0x00, {1, 2, 3}));
  WaitForOutput(kNotOpen);
  const std::string block = StatusBlock({"ALL", "MAC", "DLU", "DLC", "NWK", "IWU", "REP", "DTB", "TERM", "CMBS"},
                                        "MSG_FILTER  ----------> off\n");
  Keys("s");
  WaitForOutput(block);
  Keys("q");
  EXPECT_NE(Finish(), 0);
  EXPECT_EQ(tool_->Out(), kBanner + failed + kUsage + kNotOpen + "\n" + block);
  ASSERT_TRUE(target_->WaitForFrames(4, std::chrono::seconds(5)));
  EXPECT_EQ(ReceivedEvents(), (std::vector<uint16_t>{0xFF01, 0xFF05, 0x3801, 0x3802}));
  EXPECT_EQ(ConfigRequests(), (std::vector<Bytes>{{0x3E, 0x01, 0x01, 0x4A, 0x02, 0xFF, 0x7F}}));
}

TEST_F(TracerTest, SecondTracerLeavesTheRunningTracersFileWhole) {
  StartTarget();
  // The running tracer's file, held under every name the second one can pick in the next minute.
  std::vector<std::unique_ptr<platform::OutputFile>> running;
  const std::time_t now = std::time(nullptr);
  for (std::time_t t = now - 2; t < now + 60; ++t) {
    const std::tm tm = *std::localtime(&t);
    char name[96];
    std::snprintf(name, sizeof name, "cmbs_dect_tracer-%d_%d_%d__%d_%d_%d.txt", tm.tm_mday, tm.tm_mon + 1,
                  tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
    running.push_back(std::make_unique<platform::OutputFile>());
    int error = 0;
    ASSERT_TRUE(running.back()->Create((work_ / name).string(), &error));
    running.back()->Write("BEGIN", 5);
  }
  StartTool({"-p", "RX5120", "-cmd", "tracer", "-tfile", WriteFile("logger.cfg", "a\n").string()});
  const std::string refused =
      "main_tracer_event, 533: [ERROR]: Opening the file, error=" + std::to_string(EWOULDBLOCK) + "\n";
  WaitForOutput(refused + kUsage);
  Keys("q");
  EXPECT_NE(Finish(), 0);
  EXPECT_EQ(tool_->Out(), kBanner + refused + kUsage);
  for (auto& file : running) file->Write("END", 3);  // the running tracer goes on writing
  running.clear();
  ASSERT_EQ(TraceFiles().size(), 62u);
  for (const auto& file : TraceFiles()) EXPECT_EQ(ReadFile(file), "BEGINEND") << file;
}

TEST_F(TracerTest, NameFileThatCannotBeReadLeavesTheBuiltInNames) {
  StartTarget();
  const auto names = work_ / "names";  // a directory opens, but does not read
  std::filesystem::create_directory(names);
  extra_env_.push_back({"HALVERN_MID_FILE", names.string()});
  StartTool({"-p", "RX5120", "-cmd", "tracer", "-tfile", WriteFile("logger.cfg", "x5\n").string()});
  const std::string unread = "[ERROR]: Opening the text file=" + names.string() + "\n";
  WaitForOutput(unread + kUsage);
  const std::string block = StatusBlock({}, "MSG_FILTER  ----------> on\n *  5 ------->MID_IWU_LLME_FOUND_ID\n");
  Keys("s");
  WaitForOutput(block);
  Keys("q");
  EXPECT_EQ(Finish(), 0);
  EXPECT_EQ(tool_->Out(), kBanner + unread + kUsage + "\n" + block);
}

TEST_F(TracerTest, StartUpFailuresEndTheRun) {
  StartTarget();
  const std::string comments = WriteFile("comments.cfg", "# nothing\n\n# here\n").string();
  const std::string missing = (work_ / "missing.cfg").string();
  const std::string too_long = WriteFile("long.cfg", std::string(1, 'x') + std::string(62, '1') + "\n").string();
  const std::string rejected = WriteFile("rejected.cfg", "m,q\n").string();
  const std::string folder = work_.string();  // opens, but does not read
  auto nothing = [](const std::string& path) {
    return "main_tracer, 64: [ERROR]: Nothing to configure. You must specify the logger configurations in the text "
           "file(" + path + ")\n";
  };
  struct Case {
    std::vector<std::string> args;
    std::string out;
    std::vector<uint16_t> events;  // what reached the target
  };
  const Case cases[] = {
      {{}, "main_tracer, 58: [ERROR]: Logger configuration file not provided\n", {}},
      {{"-tfile", comments}, nothing(comments), {}},
      {{"-tfile", missing}, "main_tracer, 25: [ERROR]: Opening file=" + missing + "\n" + nothing(missing), {}},
      {{"-tfile", folder}, "main_tracer, 25: [ERROR]: Opening file=" + folder + "\n" + nothing(folder), {}},
      {{"-tfile", too_long}, nothing(too_long), {}},
      {{"-tfile", rejected}, "main_tracer_user, 741: [ERROR]: Unknown parameter \"q\"\n", {0xFF01, 0xFF05}},
  };
  size_t frames = 0;
  for (const Case& c : cases) {
    std::vector<std::string> args = {"-p", "RX5120", "-cmd", "tracer"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    auto r = Run(args, "q");
    EXPECT_EQ(r.out, kBanner + c.out) << c.out;
    EXPECT_EQ(r.exit_status, 1) << c.out;
    frames += c.events.size();
    EXPECT_TRUE(target_->WaitForFrames(frames, std::chrono::seconds(5)));
  }
  EXPECT_EQ(ReceivedEvents(), (std::vector<uint16_t>{0xFF01, 0xFF05}));

  extra_env_.push_back({"HALVERN_DEV_ROOT", (dir_.path() / "empty").string()});
  auto r = Run({"-p", "RX5120", "-cmd", "tracer", "-tfile", rejected});
  EXPECT_EQ(r.out, kBanner +
                       "[ERROR] Couldn't initialize application.\nPlease check if target is connected and running!\n"
                       "main_tracer 112: [ERROR]: Unable to initialize cmbs! Check your com port\n");
  EXPECT_EQ(r.exit_status, 1);
}

}  // namespace
}  // namespace e2e
