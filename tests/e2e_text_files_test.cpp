// Text files as other editors save them (a UTF-8 byte-order mark, UTF-16, a blank left at a
// line's end) and a listed port whose device is gone: what reaches the target and what the user
// is told.
#include <chrono>

#include "tests/e2e_console.h"

namespace e2e {
namespace {

const std::string kBom = "\xEF\xBB\xBF";
const std::string kUnknownA = "main_tracer_user, 741: [ERROR]: Unknown parameter \"a \"\n";

class TextFilesTest : public ConsoleTest {};

TEST_F(TextFilesTest, EncodingsBlanksAndAMissingPort) {
  struct Row {
    const char* name;
    std::string content;  // of the file the command reads, "" for none
    std::vector<std::string> args;  // "FILE" stands for the file's path
    std::string out_has;  // a part of standard output
    std::string err;      // all of standard error; "FILE" and "DEV" replaced
    int status;
    std::vector<uint16_t> events;  // what reached the target: a request only where the file was read
  };
  const Row rows[] = {
      {"bom.txt", kBom + "16:b:7F\r\n", {"-cmd", "param_set", "-settings", "FILE"}, "adr   16, len  1 Data: 7F\n",
       "", 0, {0xFF01, 0xFF05, 0x0035}},
      {"bom.cfg", kBom + "a\r\n", {"-cmd", "tracer", "-tfile", "FILE"}, "USAGE:", "", 0,
       {0xFF01, 0xFF05, 0x3801, 0x3801}},
      // PowerShell's ">" writes UTF-16 little-endian with its mark; without one the NULs tell.
      {"set.txt", std::string("\xFF\xFE" "1\0" "6\0" ":\0" "b\0" ":\0" "7\0" "F\0", 16),
       {"-cmd", "param_set", "-settings", "FILE"}, "OPEN: FILE\n\n" + std::string(79, '='),
       "halvern: 'FILE' is UTF-16 text: save it as UTF-8 or ANSI\n", 1, {0xFF01, 0xFF05}},
      // Checked before any repeater is touched when many are served.
      {"set16.txt", std::string("\0" "1\0" "6\0" ":\0" "b", 9), {"-cmd", "param_set", "-settings", "FILE", "-all"}, "",
       "halvern: 'FILE' is UTF-16 text: save it as UTF-8 or ANSI\n", 1, {}},
      {"all.cfg", std::string("\0a\0\r\0\n", 6), {"-cmd", "tracer", "-tfile", "FILE"},
       "main_tracer, 25: [ERROR]: Opening file=FILE\n",
       "halvern: 'FILE' is UTF-16 text: save it as UTF-8 or ANSI\n", 1, {}},
      {"blank.cfg", "# cmd's echo a >blank.cfg\na \r\n", {"-cmd", "tracer", "-tfile", "FILE"}, kUnknownA,
       "halvern: line 2 of 'FILE' ends in a blank: tracer commands take none\n", 1, {0xFF01, 0xFF05}},
      {"", "", {"-cmd", "version"}, "Target connectivity failed!",
       "halvern: COM1 (DEV) is listed but missing\n", 1, {}},
      {"", "", {"-cmd", "list"}, "not answering", "halvern: COM1 (DEV) is listed but missing\n", 1, {}},
  };
  StartTarget();
  const std::string empty = (dir_.path() / "empty").string();  // a device tree without the node
  const std::string device = empty + "/ttyACM0";
  size_t frames = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name[0] ? row.name : row.args[1]);
    const std::string path = row.name[0] ? WriteFile(row.name, row.content).string() : "";
    auto fill = [&](std::string text) {
      for (const auto& [mark, value] : {std::pair{std::string("FILE"), path}, {"DEV", device}})
        for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + value.size()))
          text.replace(at, mark.size(), value);
      return text;
    };
    std::vector<std::string> args = {"-p", "RX5120"};
    for (const std::string& a : row.args) args.push_back(fill(a));
    extra_env_.clear();
    if (!row.name[0]) extra_env_.push_back({"HALVERN_DEV_ROOT", empty});
    StartTool(args);
    if (row.args[1] == "tracer" && row.status == 0) Keys("q");  // the others end before they read a key
    EXPECT_EQ(Finish(), row.status);
    EXPECT_NE(tool_->Out().find(fill(row.out_has)), std::string::npos) << tool_->Out();
    EXPECT_EQ(tool_->Err(), fill(row.err));
    frames += row.events.size();
    EXPECT_TRUE(target_->WaitForFrames(frames, std::chrono::seconds(5)));
    std::vector<uint16_t> events = ReceivedEvents();
    ASSERT_GE(events.size(), frames - row.events.size());
    EXPECT_EQ(std::vector<uint16_t>(events.begin() + static_cast<long>(frames - row.events.size()), events.end()),
              row.events);
  }
  EXPECT_EQ(target_->ParamArea(16, 1), std::vector<uint8_t>{0x7F});
}

}  // namespace
}  // namespace e2e

namespace e2e {
namespace {

// The message-name file as halvern-trace reads it: a mark is skipped, UTF-16 is refused as a file
// that cannot be read.
TEST_F(TextFilesTest, NameFilesWithAMarkOrInUtf16) {
  const struct {
    const char* name;
    std::string content;
    std::string out;
    std::string err;  // "FILE" stands for the file's path
    int status;
  } rows[] = {
      {"bom.txt", kBom + "MY_MSG, 200\r\nOTHER, 3\r\n", "MY_MSG, 200\nOTHER, 3\n", "", 0},
      {"utf16.txt", std::string("\xFF\xFE" "M\0" ",\0" "1\0", 8), "",
       "halvern-trace: 'FILE' is UTF-16 text: save it as UTF-8 or ANSI\n", 2},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string path = WriteFile(row.name, row.content).string();
    auto r = platform::SpawnCapture({HALVERN_TRACE_EXE, "-n", path, "--list-names"}, {}, "", 15000);
    EXPECT_EQ(r.exit_status, row.status);
    EXPECT_EQ(r.out, row.out);
    std::string err = row.err;
    if (const size_t at = err.find("FILE"); at != std::string::npos) err.replace(at, 4, path);
    EXPECT_EQ(r.err, err);
  }
}

}  // namespace
}  // namespace e2e
