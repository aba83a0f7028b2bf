// Logger commands, the message-ID table and the logger configuration file.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "cmbs/cmbs_event.h"
#include "fake_serial.h"
#include "tracer/main_tracer.h"
#include "tracer/main_tracer_user.h"

namespace halvern_test {
namespace {

const std::string kInvalidParameter =
    "\". Either failed to convert it to integer or it is repeated, or it is not supported by the app!\n";

std::string InvalidParameter(const std::string& token) {
  return "main_tracer_user, 626: [ERROR]: Invalid parameter \"" + token + kInvalidParameter;
}
std::string InvalidCommand(const std::string& line, char letter) {
  return "main_tracer_user, 731: [ERROR]: Invalid command=" + line + ". \"" + letter +
         "\" option cannot be selected with other layers\n";
}
std::string UnknownParameter(const std::string& token) {
  return "main_tracer_user, 741: [ERROR]: Unknown parameter \"" + token + "\"\n";
}
const std::string kZeroMessages =
    "main_tracer_user, 572: [ERROR]: Zero messages configured. You must configure which messages should be "
    "filtered!\n";

// The parameter block of a logger configuration: switch, mask and, for a filter, the ten ids.
Bytes ConfigBlock(uint8_t on, uint16_t mask, std::vector<int32_t> ids = {}) {
  Bytes b = {0x3E, 0x01, on, 0x4A, 0x02, uint8_t(mask), uint8_t(mask >> 8)};
  if (ids.empty()) return b;
  ids.resize(10, -1);
  Bytes data = {0x1B, 0x2A, 0x00, 0x28, 0x00};
  for (int32_t id : ids)
    for (int i = 0; i < 4; ++i) data.push_back(uint8_t(uint32_t(id) >> (8 * i)));
  return Cat({b, data});
}

// A link over the fake device, with the name file pointed at a test directory.
class LoggerCommandTest : public FakeSerialTest {
 protected:
  void SetUp() override {
    FakeSerialTest::SetUp();
    LinkUp();
    cmMidTableFree();
  }
  void TearDown() override {
    cmMidTableFree();
    FakeSerialTest::TearDown();
  }

  struct Outcome {
    int result;
    std::string out;
    std::vector<SentFrame> frames;
  };
  Outcome Configure(const std::string& line) {
    fake_.ClearWrites();
    ::testing::internal::CaptureStdout();
    int result = cmLoggerConfigure(line.c_str());
    return {result, ::testing::internal::GetCapturedStdout(), fake_.Frames()};
  }

  void WriteNameFile(const std::string& text) {
    std::ofstream(name_file_, std::ios::binary) << text;
    // A second-resolution clock: make each rewrite visible as a change.
    static int tick = 0;
    std::filesystem::last_write_time(name_file_, std::filesystem::file_time_type::clock::now() +
                                                     std::chrono::seconds(++tick * 10));
  }

  TempDir dir_;
  std::filesystem::path name_file_ = dir_.path() / "logger.txt";
  ScopedEnv mid_env_{"HALVERN_MID_FILE", name_file_.string()};
};

TEST_F(LoggerCommandTest, CommandsWithoutNameFile) {
  struct Case {
    std::string line;
    int result;
    std::string out;
    Bytes block;  // empty: nothing sent
  };
  const std::vector<int32_t> none = {-1};
  const Case cases[] = {
      {"a", 1, "", ConfigBlock(1, 0x7FFF)},
      {"a,m", 0, InvalidCommand("a,m", 'a'), {}},
      {"m,a", 0, InvalidCommand("m,a", 'a'), {}},
      {"m,x", 0, InvalidCommand("m,x", 'x'), {}},
      {"a ", 0, UnknownParameter("a "), {}},
      {"m,u,m", 1, "", ConfigBlock(1, 0x0003)},
      {"m,,u", 1, "", ConfigBlock(1, 0x0003)},
      {",m,u,", 1, "", ConfigBlock(1, 0x0003)},
      {"m,u,d,n,i,r,b,t,c", 1, "", ConfigBlock(1, 0x01FF)},
      {"M", 0, UnknownParameter("M"), {}},
      {"mu", 0, UnknownParameter("mu"), {}},
      {"m, u", 0, UnknownParameter(" u"), {}},
      {"m,q,x", 0, UnknownParameter("q"), {}},  // the first bad token decides
      {",,", 1, "", {}},
      {"x", 0, kZeroMessages, {}},
      {"x,,", 1, "", ConfigBlock(1, 0x8000, none)},
      {"x,m", 0, InvalidParameter("m"), {}},
      {"x132", 1, "", ConfigBlock(1, 0x8000, {132})},
      {"x0", 1, "", ConfigBlock(1, 0x8000, {0})},
      {"x133", 0, InvalidParameter("133"), {}},
      {"x-1", 0, InvalidParameter("-1"), {}},
      {"x+5", 1, "", ConfigBlock(1, 0x8000, {5})},
      {"x 5", 1, "", ConfigBlock(1, 0x8000, {5})},
      {"x5 ", 0, InvalidParameter("5 "), {}},
      {"x0x10", 0, InvalidParameter("0x10"), {}},
      {"x99999999999", 0, InvalidParameter("99999999999"), {}},
      {"x1,1", 0, InvalidParameter("1"), {}},
      {"x3,101", 1, "", ConfigBlock(1, 0x8000, {3, 101})},
      {"x1,2,3,4,5,6,7,8,9,10,11", 1, "", ConfigBlock(1, 0x8000, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10})},
      {"x1,2,3,4,5,6,7,8,9,10,bad", 1, "", ConfigBlock(1, 0x8000, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Outcome o = Configure(c.line);
    EXPECT_EQ(o.result, c.result);
    EXPECT_EQ(o.out, c.out);
    if (c.block.empty()) {
      EXPECT_TRUE(o.frames.empty());
    } else {
      ASSERT_EQ(o.frames.size(), 1u);
      EXPECT_EQ(o.frames[0].event_id, CMXX_EV_LOGGER_CONFIG_SET);
      EXPECT_EQ(o.frames[0].params, c.block);
    }
  }
}

TEST_F(LoggerCommandTest, NameFileDecidesWhichIdsExist) {
  WriteNameFile("MY_MSG, 200\nOTHER,,\t7\nMY_MSG,201\n");
  EXPECT_EQ(Configure("x200,7,201").frames.at(0).params, ConfigBlock(1, 0x8000, {200, 7, 201}));
  EXPECT_EQ(Configure("x5").out, InvalidParameter("5"));
  EXPECT_EQ(cmMidName(200), "MY_MSG");
  EXPECT_EQ(cmMidName(201), "MY_MSG");  // one name under two ids
  EXPECT_EQ(cmMidName(5), "Unknown");

  WriteNameFile("");  // exists but empty: no id is valid
  EXPECT_EQ(Configure("x0").out, InvalidParameter("0"));
  EXPECT_EQ(cmMidName(3), "Unknown");

  std::filesystem::remove(name_file_);  // gone: the built-in table serves again
  EXPECT_EQ(Configure("x5").result, 1);
  EXPECT_EQ(cmMidName(3), "MID_TIMER_ALERT");
}

TEST_F(LoggerCommandTest, NameFileIsReloadedOnlyWhenItChanges) {
  WriteNameFile("FIRST, 300\n");
  EXPECT_EQ(Configure("x300").result, 1);
  const ST_MID_ENTRY* loaded = cmMidTableGet();
  EXPECT_EQ(cmMidTableGet(), loaded);  // same modification time: the same table

  WriteNameFile("SECOND, 300\nDUP, 301\nDUP2, 301\n");
  EXPECT_EQ(Configure("x301").result, 1);
  EXPECT_EQ(cmMidName(300), "SECOND");
  EXPECT_EQ(cmMidName(301), "DUP");  // one id twice: the first entry's name
  EXPECT_EQ(cmMidName(101), "Unknown");
}

TEST_F(LoggerCommandTest, LinesThatAreNotNameAndIdMakeNoEntry) {
  WriteNameFile(
      "NOCOMMA 5\n"
      "\n"
      " LEADING_BLANK, 6\n"
      "TRAILING, 7xyz\r\n"
      "SIGNED ,\t-8\n"
      "NO_ID,\n" +
      std::string(128, 'N') + ", 9\n" + std::string(127, 'L') + ", 10\n" +
      "LAST,11");
  const ST_MID_ENTRY* table = cmMidTableGet();
  std::vector<std::pair<int32_t, std::string>> entries;
  for (const ST_MID_ENTRY* e = table; e->name; ++e) entries.emplace_back(e->id, e->name);
  const std::vector<std::pair<int32_t, std::string>> expected = {
      {7, "TRAILING"}, {-8, "SIGNED"}, {10, std::string(127, 'L')}, {11, "LAST"}};
  EXPECT_EQ(entries, expected);
}

TEST(MidTableTest, BuiltInTableWithoutNameFile) {
  TempDir dir;
  ScopedEnv env("HALVERN_MID_FILE", (dir.path() / "absent.txt").string());
  const ST_MID_ENTRY* table = cmMidTableGet();
  int n = 0;
  for (const ST_MID_ENTRY* e = table; e->name; ++e, ++n) EXPECT_EQ(e->id, n);
  EXPECT_EQ(n, 133);
  EXPECT_EQ(cmMidName(0), "MID_DEBUG_OUT");
  EXPECT_EQ(cmMidName(101), "MID_LLME_FRAME_TRACE");
  EXPECT_EQ(cmMidName(132), "MID_IWU_LLME_SUBCRIPTION_RESET");
  EXPECT_EQ(cmMidName(133), "Unknown");
  EXPECT_EQ(cmMidName(-1), "Unknown");
}

TEST(LoggerIdTest, Parsing) {
  struct Case {
    const char* token;
    bool ok;
    int32_t id;
  } cases[] = {
      {"0", true, 0},         {"+7", true, 7},      {" \t12", true, 12},  {"-3", true, -3},
      {"2147483647", true, 2147483647},              {"-2147483648", true, INT32_MIN},
      {"2147483648", false, 0}, {"", false, 0},     {"+", false, 0},      {" ", false, 0},
      {"1 ", false, 0},       {"1a", false, 0},     {"0x1", false, 0},    {"--1", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.token);
    int32_t id = 99;
    EXPECT_EQ(cmLoggerParseId(c.token, &id), c.ok);
    if (c.ok) {
      EXPECT_EQ(id, c.id);
    }
  }
}

class ReadCommandTest : public ::testing::Test {
 protected:
  // Returns the result, the command and the output for a file with this content.
  std::tuple<int, std::string, std::string> Read(const std::string& content) {
    std::ofstream(path_, std::ios::binary) << content;
    char buffer[TRACER_COMMAND_SIZE];
    std::memset(buffer, 'Z', sizeof buffer);
    ::testing::internal::CaptureStdout();
    int rc = cmTracerReadCommand(path_.c_str(), buffer, sizeof buffer);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(buffer[sizeof buffer - 1], '\0');
    return {rc, std::string(buffer), out};
  }
  TempDir dir_;
  std::string path_ = (dir_.path() / "logger.cfg").string();
};

TEST_F(ReadCommandTest, FirstSignificantLine) {
  struct Case {
    std::string content;
    int rc;
    std::string command;
  } cases[] = {
      {"#comment\n\nm,u\nx5\n", 0, "m,u"},
      {"#comment\r\n\r\nm,u\r\n", 0, "m,u"},
      {" a\n", 0, " a"},
      {"a", 0, "a"},
      {"# " + std::string(300, 'c') + "\nm\n", 0, "m"},  // a long comment is skipped whole
      {std::string(62, 'm') + "\n", 0, std::string(62, 'm')},
      {"#only\n\n#comments\n", -1, ""},
      {"", -1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content);
    auto [rc, command, out] = Read(c.content);
    EXPECT_EQ(rc, c.rc);
    EXPECT_EQ(command, c.command);
    EXPECT_EQ(out, "");
  }
}

TEST_F(ReadCommandTest, LongCommandIsRejectedNotCut) {
  // Cut to 62 characters, this list would end in the id 1, which was never asked for.
  const std::string line = "x100,101,102,103,104,105,106,107,108,109,110,111,112,113,114,115";
  ASSERT_EQ(line.size(), 64u);
  ::testing::internal::CaptureStderr();
  auto [rc, command, out] = Read("# the filter\n" + line + "\n");
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(command, "");
  EXPECT_EQ(out, "");
  EXPECT_EQ(err, "halvern: '" + path_ + "' line 2: logger command longer than 62 characters (64)\n");
  EXPECT_EQ(std::get<0>(Read(std::string(63, 'm'))), -1);
}

TEST_F(ReadCommandTest, MissingFile) {
  char buffer[TRACER_COMMAND_SIZE];
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(cmTracerReadCommand("/nonexistent/halvern.cfg", buffer, sizeof buffer), -1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "main_tracer, 25: [ERROR]: Opening file=/nonexistent/halvern.cfg\n");
}

}  // namespace
}  // namespace halvern_test
