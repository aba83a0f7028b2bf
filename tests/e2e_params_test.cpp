// The params console and the settings-file commands against the simulated target:
// console transcripts and output files compared exactly, requests checked on the wire.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "params/param_file.h"
#include "platform/file_io.h"
#include "tests/e2e_console.h"
#include "tests/e2e_support.h"

namespace e2e {
namespace {

const std::string kHeader = kBanner + "Product: SW Version 01.02.0345\n\n" + kRule + "\n";
const std::string kPrompt = "Action get/set/quit[g/s/q]: ";
const std::string kHyphens = std::string(79, '-') + "\n";

// What a get action prints around the callback's output.
std::string GetAction(const std::string& answer) {
  return kPrompt + "g\n\nAddress: \nLength: " + kHyphens + answer + "\n" + kHyphens;
}
std::string SetAction(const std::string& answer) {
  return kPrompt + "s\n\nAddress: \nLength: \nData: " + answer + "\n" + kHyphens;
}

// A parameter-area request as the target received it.
struct AreaRequest {
  uint16_t event;
  uint16_t address;
  uint16_t count;
  std::vector<uint8_t> data;
  bool operator==(const AreaRequest&) const = default;
};

void PrintTo(const AreaRequest& r, std::ostream* os) {
  *os << "{" << r.event << ", " << r.address << ", " << r.count << ", " << ::testing::PrintToString(r.data) << "}";
}

class ParamsTest : public SimTest {
 protected:
  static constexpr uint16_t kGet = 0x0033;
  static constexpr uint16_t kSet = 0x0035;

  std::vector<AreaRequest> AreaRequests() const {
    std::vector<AreaRequest> requests;
    for (const auto& f : target_->Received()) {
      if (f.event_id != kGet && f.event_id != kSet) continue;
      const auto& p = f.params;  // IE_PARAM_AREA: id, u16 length, type, u16 address, u16 count, data
      if (p.size() < 8) {
        ADD_FAILURE() << "short area request";
        continue;
      }
      requests.push_back({f.event_id, static_cast<uint16_t>(p[4] | p[5] << 8), static_cast<uint16_t>(p[6] | p[7] << 8),
                          std::vector<uint8_t>(p.begin() + 8, p.end())});
    }
    return requests;
  }

  // The tool run as a user runs it; nothing may reach standard error (a sanitizer's report would).
  platform::SpawnResult Tool(std::vector<std::string> args, const std::string& input = "") {
    auto r = Run(std::move(args), input);
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(r.timed_out);
    return r;
  }

  std::string Path(const std::string& name) const { return (dir_.path() / name).string(); }
  std::string Write(const std::string& name, const std::string& content) const {
    std::ofstream(Path(name), std::ios::binary) << content;
    return Path(name);
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
};

TEST_F(ParamsTest, GetTranscriptsLayOutSeventeenValuesThenSixteen) {
  StartTarget();
  std::vector<uint8_t> area(20);
  for (size_t i = 0; i < area.size(); ++i) area[i] = static_cast<uint8_t>(0xA0 + i);
  target_->SetParamArea(26, area);
  target_->SetParamArea(0, {0x55});

  auto r = Tool({"-p", "RX5120", "-cmd", "params"}, "g0x001A\n20\ng26\n17\ng0x1a\n16\ngabc\n0\nq");
  const std::string first17 = "A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF B0 \n";
  EXPECT_EQ(r.out, kHeader + GetAction("Data:\n" + first17 + "B1 B2 B3 ") + GetAction("Data:\n" + first17) +
                       GetAction("Data:\nA0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF ") + GetAction("Data:\n") +
                       kPrompt + "q");
  EXPECT_EQ(r.exit_status, 0);
  const std::vector<AreaRequest> expected = {
      {kGet, 26, 20, {}}, {kGet, 26, 17, {}}, {kGet, 26, 16, {}}, {kGet, 0, 0, {}}};
  EXPECT_EQ(AreaRequests(), expected);
}

TEST_F(ParamsTest, AddressAndLengthForms) {
  StartTarget();
  // 0x0030 sets the offset that the unreadable hex forms keep; -1 and 65562 are taken modulo 65536.
  auto r = Tool({"-p", "RX5120", "-cmd", "params"},
               "g0x001A\n1\ng26\n1\ng0x1a\n1\ngabc\n1\ng0x0030\n1\ng0xZZ\n1\ng1x5\n65536\ng-1\n1\ng65562\n 2x\nq");
  EXPECT_EQ(r.exit_status, 0);
  const std::vector<AreaRequest> expected = {
      {kGet, 26, 1, {}}, {kGet, 26, 1, {}}, {kGet, 26, 1, {}},    {kGet, 0, 1, {}},  {kGet, 48, 1, {}},
      {kGet, 48, 1, {}}, {kGet, 48, 0, {}}, {kGet, 65535, 1, {}}, {kGet, 26, 2, {}},
  };
  EXPECT_EQ(AreaRequests(), expected);
}

// Sets whose address is not a number or whose data lacks a hex digit in a place its length
// needs are refused after all their lines are read: the set after them still lands where it
// was sent, and nothing else goes out. Reads keep every address form.
TEST_F(ParamsTest, SetDecodesTwoDigitsAByteAndRefusesWhatIsNotHex) {
  StartTarget();
  target_->SetParamArea(0, std::vector<uint8_t>(64, 0xEE));
  struct Case {
    std::string input;
    std::string refusal;  // on standard error; empty: the set goes out
  };
  const Case cases[] = {
      {"s26\n2\n0A0b", ""},
      {"s40\n2\n0A0b7", ""},  // surplus digits are ignored
      {"s50\n4\nAB", "too few digits (2 of 8)"},
      {"s50\n3\n0A0b7", "too few digits (5 of 6)"},
      {"s50\n1\nZZ", "'ZZ' is not hexadecimal"},
      {"s50\n2\n0x5A", "'0x5A' is not hexadecimal"},
      {"szz\n1\n7F", "address 'zz' is not a number"},
      {"s0xZZ\n1\n7F", "address '0xZZ' is not a number"},
      {"s\n1\n7F", "address '' is not a number"},
      {"s5x\n1\n7F", "address '5x' is not a number"},
      {"s0x1\n1\n7F", ""},
  };
  std::string input, out, err;
  for (const auto& c : cases) {
    input += c.input + "\n";
    out += SetAction("");
    if (!c.refusal.empty()) err += "halvern: " + c.refusal + "\n";
  }
  auto r = Run({"-p", "RX5120", "-cmd", "params"}, input + "gzz\n1\nq");
  EXPECT_EQ(r.out, kHeader + out + GetAction("Data:\nEE ") + kPrompt + "q");
  EXPECT_EQ(r.err, err);
  EXPECT_EQ(r.exit_status, 0);
  const std::vector<AreaRequest> expected = {
      {kSet, 26, 2, {0x0A, 0x0B}}, {kSet, 40, 2, {0x0A, 0x0B}}, {kSet, 1, 1, {0x7F}}, {kGet, 0, 1, {}}};
  EXPECT_EQ(AreaRequests(), expected);
  EXPECT_EQ(target_->ParamArea(50, 4), std::vector<uint8_t>(4, 0xEE));
}

TEST_F(ParamsTest, OverlongInputLinesAreCutAndTheirRestDropped) {
  StartTarget();
  // Were the rest of a line left unread, its letters would be taken as keys.
  const std::string input = "s26\n1\n7F" + std::string(5000, 'g') + "\ng0x001A" + std::string(100, 's') + "\n1" +
                            std::string(100, 'g') + "\nq";
  auto r = Tool({"-p", "RX5120", "-cmd", "params"}, input);
  EXPECT_EQ(r.out, kHeader + SetAction("") + GetAction("Data:\n7F ") + kPrompt + "q");
  const std::vector<AreaRequest> expected = {{kSet, 26, 1, {0x7F}}, {kGet, 26, 1, {}}};
  EXPECT_EQ(AreaRequests(), expected);
}

TEST_F(ParamsTest, OtherKeysQuitAndEndOfInput) {
  StartTarget();
  struct Case {
    std::string input;
    std::string out;
  };
  const Case cases[] = {
      {"xG\nq", kPrompt + "x\n" + kHyphens + kPrompt + "G\n" + kHyphens + kPrompt + "\n\n" + kHyphens + kPrompt + "q"},
      {"q", kPrompt + "q"},
      {"Q", kPrompt + "Q\n" + kHyphens + kPrompt + "q"},  // keys are case-sensitive; end of input quits
      {"", kPrompt + "q"},
      {"s26\n2\n", kPrompt + "s\n\nAddress: \nLength: \nData: "},  // input ends inside an action
  };
  for (const auto& c : cases) {
    auto r = Tool({"-p", "RX5120", "-cmd", "params"}, c.input);
    EXPECT_EQ(r.out, kHeader + c.out) << c.input;
    EXPECT_EQ(r.exit_status, 0) << c.input;
  }
  EXPECT_TRUE(AreaRequests().empty());
}

TEST_F(ParamsTest, RefusalSilenceAndOverlongRequests) {
  StartTarget();
  sim::Fault refuse;
  refuse.result = 1;
  refuse.after = 1;  // the first get is answered, later ones refused
  target_->SetFault(kGet, refuse);
  sim::Fault silent;
  silent.no_answer = true;
  target_->SetFault(kSet, silent);
  extra_env_.push_back({"HALVERN_WAIT_MS", "300"});
  auto r = Tool({"-p", "RX5120", "-cmd", "params"}, "g26\n1\ng26\n1\ns26\n1\n00\nq");
  EXPECT_EQ(r.out, kHeader + GetAction("Data:\n00 ") + GetAction("error\n") + SetAction("Error\n") + kPrompt + "q");
  EXPECT_EQ(r.exit_status, 0);

  // More than one request carries: nothing goes out and the error comes without waiting.
  extra_env_.clear();
  // Hello, reset, two gets, the set and the read that follows its lost answer: the last may
  // still be on its way to the target when the tool has ended.
  ASSERT_TRUE(target_->WaitForFrames(6, std::chrono::seconds(5)));
  const size_t before = target_->Received().size();
  auto start = std::chrono::steady_clock::now();
  r = Tool({"-p", "RX5120", "-cmd", "params"}, "g26\n513\ns26\n600\n00\ns26\n70000\n00\nq");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(r.out, kHeader + GetAction("Error\n") + SetAction("Error\n") + SetAction("Error\n") + kPrompt + "q");
  ASSERT_TRUE(target_->WaitForFrames(before + 2, std::chrono::seconds(5)));
  EXPECT_EQ(target_->Received().size(), before + 2);  // hello and reset only
}

TEST_F(ParamsTest, SetThenGetOfASettingsFileReturnsTheValues) {
  StartTarget();
  const std::string set_path = Write("set.txt",
                                     "# settings\n"
                                     " 16:b:01\n"
                                     "16:b:7F\r\n"
                                     "0x0020:w:1234\n"
                                     "0x0040:a:0102030405;\n"
                                     "0x0050:a:0A0B0C\n"
                                     "16:W:12\n"
                                     "\n"
                                     "0x0060:a:01020;");
  auto r = Tool({"-p", "RX5120", "-cmd", "param_set", "-settings", set_path});
  EXPECT_EQ(r.out, kHeader + "OPEN: " + set_path + "\n\n" +
                       "# settings\n"
                       " 16:b:01\n"
                       "adr   16, len  1 Data: 7F\n"
                       "adr   32, len  2 Data: 1234\n"
                       "adr   64, len  5 Data: 0102030405;\n"
                       "adr   80, len  3 Data: 0A0B0C\n"
                       "\nWrong format: W\n16:W:12\n"
                       "\n"
                       "adr   96, len  3 Data: 01020;" +
                       kRule);
  EXPECT_EQ(r.exit_status, 1);  // the wrong-format line fails the batch, the others are done
  EXPECT_EQ(target_->ParamArea(16, 1), std::vector<uint8_t>{0x7F});
  EXPECT_EQ(target_->ParamArea(32, 2), (std::vector<uint8_t>{0x12, 0x34}));
  EXPECT_EQ(target_->ParamArea(64, 5), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(target_->ParamArea(80, 3), (std::vector<uint8_t>{0x0A, 0x0B, 0x0C}));
  EXPECT_EQ(target_->ParamArea(96, 3), (std::vector<uint8_t>{0x01, 0x02, 0x00}));

  const std::string get_path = Write("get.txt",
                                     "# read back\n"
                                     "16:b:\n"
                                     "0x0020:w:0\r\n"
                                     "0x0040:a:5\n"
                                     "80:a:3\n"
                                     "\tcomment\n"
                                     "0x0060:a:3");
  const std::string out_path = Path("get_01_02_0345.out");
  r = Tool({"-p", "RX5120", "-cmd", "param_get", "-settings", get_path});
  EXPECT_EQ(r.out, kHeader + "OPEN: " + get_path + " => OUT: " + out_path + "\n\n" +
                       "# read back\n"
                       "adr   16, len  1 16:b:7F\n\n"
                       "adr   32, len  2 0x0020:w:1234\n\n"
                       "adr   64, len  5 0x0040:a:0102030405\n\n"
                       "adr   80, len  3 80:a:0A0B0C\n\n"
                       "\tcomment\n"
                       "adr   96, len  3 0x0060:a:010200\n\n" +
                       kRule);
  EXPECT_EQ(r.exit_status, 0);
  const std::string out = "16:b:7F\n0x0020:w:1234\n0x0040:a:0102030405\n80:a:0A0B0C\n0x0060:a:010200\n";
  EXPECT_EQ(Read(out_path), out);

  // The output file feeds param_set as it is: arrays without ";" run to the line end.
  target_->SetParamArea(0, std::vector<uint8_t>(128, 0));
  r = Tool({"-p", "RX5120", "-cmd", "param_set", "-settings", out_path});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(target_->ParamArea(16, 1), std::vector<uint8_t>{0x7F});
  EXPECT_EQ(target_->ParamArea(32, 2), (std::vector<uint8_t>{0x12, 0x34}));
  EXPECT_EQ(target_->ParamArea(64, 5), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(target_->ParamArea(80, 3), (std::vector<uint8_t>{0x0A, 0x0B, 0x0C}));
  EXPECT_EQ(target_->ParamArea(96, 3), (std::vector<uint8_t>{0x01, 0x02, 0x00}));

  // An existing output file is emptied; a file of comments gives an empty one.
  Write("get.txt", "# nothing to read\n");
  r = Tool({"-p", "RX5120", "-cmd", "param_get", "-settings", get_path});
  EXPECT_EQ(r.out, kHeader + "OPEN: " + get_path + " => OUT: " + out_path + "\n\n# nothing to read\n" + kRule);
  EXPECT_EQ(Read(out_path), "");
}

// A set line without a hex digit in every place its length needs sends nothing and says why
// on standard error; the batch goes on and ends with status 1. An array that ends on its ";"
// keeps its odd last digit as a half byte.
TEST_F(ParamsTest, SettingsDataThatIsNotHexIsRefused) {
  StartTarget();
  target_->SetParamArea(0, std::vector<uint8_t>(0x60, 0xEE));
  struct Case {
    std::string line;
    std::string refusal;  // empty: the line is sent
  };
  const Case cases[] = {
      {"0x10:b:0x5A", "'0x5A' is not hexadecimal"},
      {"0x11:w:0x1234", "'0x1234' is not hexadecimal"},
      {"0x13:w:12", "too few digits (2 of 4)"},
      {"0x15:b:GG", "'GG' is not hexadecimal"},
      {"0x16:b:7F", ""},
      {"0x30:a:12345", "too few digits (5 of 6)"},  // without its ";" an odd array is cut short
      {"0x50:a:12345;", ""},
      {"0x18:w:ABCDxyz", ""},  // what follows the digits is ignored
  };
  std::string file = "# typos\n", out = "# typos\n", err;
  int number = 1;
  for (const auto& c : cases) {
    file += c.line + "\n";
    ++number;
    const ST_PARAM_LINE parsed = cmParamParseLine(c.line.c_str(), false);
    char adr[64];
    std::snprintf(adr, sizeof adr, "adr %4d, len %2d Data: ", parsed.address, parsed.length);
    out += adr + c.line.substr(parsed.field) + "\n";
    if (!c.refusal.empty()) err += "halvern: line " + std::to_string(number) + ": " + c.refusal + "\n";
  }
  const std::string path = Write("typos.txt", file);
  auto r = Run({"-p", "RX5120", "-cmd", "param_set", "-settings", path});
  EXPECT_EQ(r.out, kHeader + "OPEN: " + path + "\n\n" + out + kRule);
  EXPECT_EQ(r.err, err);
  EXPECT_EQ(r.exit_status, 1);
  const std::vector<AreaRequest> expected = {
      {kSet, 0x16, 1, {0x7F}}, {kSet, 0x50, 3, {0x12, 0x34, 0x50}}, {kSet, 0x18, 2, {0xAB, 0xCD}}};
  EXPECT_EQ(AreaRequests(), expected);
  std::vector<uint8_t> area(0x60, 0xEE);
  area[0x16] = 0x7F, area[0x18] = 0xAB, area[0x19] = 0xCD, area[0x50] = 0x12, area[0x51] = 0x34, area[0x52] = 0x50;
  EXPECT_EQ(target_->ParamArea(0, 0x60), area);
}

// Lines in error fail the batch of either command, though the others are done.
TEST_F(ParamsTest, WrongLinesFailTheBatch) {
  StartTarget();
  const std::string path = Write("wrong.txt", "16:W:12\nabc:b:\n16:b:7F\n");
  for (const char* command : {"param_set", "param_get"}) {
    auto r = Run({"-p", "RX5120", "-cmd", command, "-settings", path});
    EXPECT_EQ(r.err, "halvern: line 2: wrong line\n") << command;
    EXPECT_EQ(r.exit_status, 1) << command;
  }
  EXPECT_EQ(target_->ParamArea(16, 1), std::vector<uint8_t>{0x7F});
}

TEST_F(ParamsTest, LinesLongerThanAPieceAndLongAnswers) {
  StartTarget();
  std::string digits;
  for (int i = 0; i < 150; ++i) digits += "A5";
  const std::string set_path = Write("long.txt", "0x0100:a:" + digits + ";\n16:b:7F\n");
  auto r = Run({"-p", "RX5120", "-cmd", "param_set", "-settings", set_path});
  // A line longer than one read is refused whole: no part of it is written.
  EXPECT_EQ(r.out, kHeader + "OPEN: " + set_path + "\n\n" + "adr   16, len  1 Data: 7F\n" + kRule);
  EXPECT_EQ(r.err, "halvern: line 1: longer than 254 characters: left out\n");
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(target_->ParamArea(256, 124), std::vector<uint8_t>(124, 0));

  std::vector<uint8_t> area(512);
  for (size_t i = 0; i < area.size(); ++i) area[i] = static_cast<uint8_t>(i * 3);
  target_->SetParamArea(0, area);
  const std::string get_path = Write("big.txt", "0x0000:a:512\n");
  r = Tool({"-p", "RX5120", "-cmd", "param_get", "-settings", get_path});
  std::string line = "0x0000:a:";
  char hex[3];
  for (uint8_t b : area) {
    std::snprintf(hex, sizeof hex, "%02X", b);
    line += hex;
  }
  line += "\n";
  EXPECT_EQ(Read(Path("big_01_02_0345.out")), line);
  EXPECT_EQ(r.out, kHeader + "OPEN: " + get_path + " => OUT: " + Path("big_01_02_0345.out") + "\n\n" +
                       "adr    0, len 512 " + line + "\n" + kRule);
  EXPECT_EQ(r.exit_status, 0);
}

TEST_F(ParamsTest, FailedRequestsFailTheBatch) {
  StartTarget();
  sim::Fault refuse;
  refuse.result = 1;
  target_->SetFault(kSet, refuse);
  sim::Fault silent_later;
  silent_later.no_answer = true;
  silent_later.after = 1;  // the first get is answered
  target_->SetFault(kGet, silent_later);
  extra_env_.push_back({"HALVERN_WAIT_MS", "300"});

  const std::string set_path = Write("s.txt", "16:b:7F\n");
  auto r = Tool({"-p", "RX5120", "-cmd", "param_set", "-settings", set_path});
  EXPECT_EQ(r.out, kHeader + "OPEN: " + set_path + "\n\nadr   16, len  1 Data: 7F\nerror\n" + kRule);
  EXPECT_EQ(r.exit_status, 1);

  // Answered, unanswered, and too long to be sent at all.
  const std::string get_path = Write("g.txt", "16:b:\n17:b:\n0x0040:a:600\n");
  r = Tool({"-p", "RX5120", "-cmd", "param_get", "-settings", get_path});
  const std::string out_path = Path("g_01_02_0345.out");
  EXPECT_EQ(r.out, kHeader + "OPEN: " + get_path + " => OUT: " + out_path + "\n\n" + "adr   16, len  1 16:b:00\n\n" +
                       "adr   17, len  1\nError\n\n" + "adr   64, len 600\nError\n\n" + kRule);
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(Read(out_path), "16:b:00\n");
  const std::vector<AreaRequest> expected = {{kSet, 16, 1, {0x7F}}, {kGet, 16, 1, {}}, {kGet, 17, 1, {}}};
  EXPECT_EQ(AreaRequests(), expected);
}

// The target takes every write but the answer to the first is lost: only that line fails.
// A fence (a one-byte read of the address given up) follows it on the wire, and nothing else
// is added; the later writes are reported done on their own answers, in the batch and at the
// console alike.
TEST_F(ParamsTest, LostWriteAnswerFailsOnlyItsOwnLine) {
  StartTarget();
  extra_env_.push_back({"HALVERN_WAIT_MS", "300"});
  sim::Fault lost;
  lost.no_answer = true;
  lost.times = 1;
  target_->SetFault(kSet, lost);
  const std::string set_path = Write("lost.txt", "0x10:b:11\n0x11:b:22\n0x12:b:33\n");
  auto r = Tool({"-p", "RX5120", "-cmd", "param_set", "-settings", set_path});
  EXPECT_EQ(r.out, kHeader + "OPEN: " + set_path + "\n\n" + "adr   16, len  1 Data: 11\n\nError\n" +
                       "adr   17, len  1 Data: 22\n" + "adr   18, len  1 Data: 33\n" + kRule);
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(target_->ParamArea(0x10, 3), (std::vector<uint8_t>{0x11, 0x22, 0x33}));
  std::vector<AreaRequest> expected = {{kSet, 16, 1, {0x11}}, {kGet, 16, 1, {}}, {kSet, 17, 1, {0x22}}, {kSet, 18, 1, {0x33}}};
  EXPECT_EQ(AreaRequests(), expected);

  target_->SetFault(kSet, lost);
  r = Tool({"-p", "RX5120", "-cmd", "params"}, "s32\n1\n44\ns33\n1\n55\nq");
  EXPECT_EQ(r.out, kHeader + SetAction("Error\n") + SetAction("") + kPrompt + "q");
  EXPECT_EQ(target_->ParamArea(32, 2), (std::vector<uint8_t>{0x44, 0x55}));
  expected.insert(expected.end(), {{kSet, 32, 1, {0x44}}, {kGet, 32, 1, {}}, {kSet, 33, 1, {0x55}}});
  EXPECT_EQ(AreaRequests(), expected);
}

// A refusal ends the read at once, whatever address its area element names: a target that
// does not echo the address names 0.
TEST_F(ParamsTest, RefusalNamingAnotherAddressIsReportedAtOnce) {
  StartTarget();
  extra_env_.push_back({"HALVERN_WAIT_MS", "20000"});
  const std::string get_path = Write("r.txt", "16:b:\n");
  const std::string out_path = Path("r_01_02_0345.out");
  for (uint16_t named : {0x0000, 0x1234}) {
    SCOPED_TRACE(named);
    sim::Fault refuse;
    refuse.result = 1;
    refuse.area_address = named;
    target_->SetFault(kGet, refuse);
    const auto start = std::chrono::steady_clock::now();
    auto r = Tool({"-p", "RX5120", "-cmd", "param_get", "-settings", get_path});
    EXPECT_EQ(r.out, kHeader + "OPEN: " + get_path + " => OUT: " + out_path + "\n\n" + "adr   16, len  1error\n\n" +
                         kRule);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(Read(out_path), "");
    r = Tool({"-p", "RX5120", "-cmd", "params"}, "g16\n1\nq");
    EXPECT_EQ(r.out, kHeader + GetAction("error\n") + kPrompt + "q");
    // Both runs ended long before the answer wait: the refusals were not waited out.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
  }
}

TEST_F(ParamsTest, MissingSettingsAndUnwritableOutput) {
  StartTarget();
  const std::string missing = Path("missing.txt");
  // Standard error says why the settings file did not open.
  const std::string why = "halvern: cannot open '" + missing + "': No such file or directory\n";
  auto r = Run({"-p", "RX5120", "-cmd", "param_set", "-settings", missing});
  EXPECT_EQ(r.out, kHeader + "OPEN: " + missing + "\n\n" + kRule);
  EXPECT_EQ(r.err, why);
  EXPECT_EQ(r.exit_status, 1);

  r = Run({"-p", "RX5120", "-cmd", "param_get", "-settings", missing});
  EXPECT_EQ(r.out, kHeader + "ERROR: Couldn't open '" + missing + "'\n\n" + kRule);
  EXPECT_EQ(r.err, why);
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_FALSE(std::filesystem::exists(Path("missing_01_02_0345.out")));

  const std::string get_path = Write("ro.txt", "16:b:\n");
  std::filesystem::create_directory(Path("ro_01_02_0345.out"));
  r = Run({"-p", "RX5120", "-cmd", "param_get", "-settings", get_path});
  EXPECT_EQ(r.out, kHeader + "OPEN: " + get_path + " => OUT: " + Path("ro_01_02_0345.out") + "\n\n" + kRule);
  EXPECT_EQ(r.err, "halvern: cannot create '" + Path("ro_01_02_0345.out") + "': Is a directory\n");
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_TRUE(AreaRequests().empty());

  // Three runs brought the link up (hello and reset-communication each): the last one's frames
  // may still be on their way to the target when the tool has ended.
  ASSERT_TRUE(target_->WaitForFrames(6, std::chrono::seconds(5)));
  const size_t frames = target_->Received().size();
  for (const char* command : {"param_get", "param_set"}) {
    r = Tool({"-p", "RX5120", "-cmd", command});
    EXPECT_EQ(r.out, kBanner + "File NOT defined\n") << command;
    EXPECT_EQ(r.exit_status, 1) << command;
  }
  EXPECT_EQ(target_->Received().size(), frames);  // no link was brought up
}

TEST_F(ParamsTest, OutputFileThatAnotherRunWritesIsLeftWhole) {
  StartTarget();
  const std::string get_path = Write("held.txt", "16:b:\n");
  const std::string out_path = Path("held_01_02_0345.out");
  std::FILE* other = platform::CreateHeldTextFile(out_path, nullptr);  // another run's output
  ASSERT_NE(other, nullptr);
  std::fputs("16:b:5A\n", other);
  std::fflush(other);
  auto r = Run({"-p", "RX5120", "-cmd", "param_get", "-settings", get_path});
  EXPECT_EQ(r.out, kHeader + "OPEN: " + get_path + " => OUT: " + out_path + "\n\n" + kRule);
  EXPECT_EQ(r.err.rfind("halvern: cannot create '" + out_path + "': ", 0), 0u) << r.err;
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_TRUE(AreaRequests().empty());
  std::fclose(other);
  EXPECT_EQ(Read(out_path), "16:b:5A\n");
}

TEST_F(ParamsTest, SessionThatCannotOpenFailsTheCommand) {
  StartTarget();
  extra_env_.push_back({"HALVERN_DEV_ROOT", (dir_.path() / "empty").string()});
  const std::string settings = Write("s.txt", "16:b:7F\n");
  for (const char* command : {"params", "param_get", "param_set"}) {
    auto r = Run({"-p", "RX5120", "-cmd", command, "-settings", settings}, "q");
    EXPECT_EQ(r.out, kBanner + "[ERROR] Couldn't initialize application.\nPlease check if target is connected and running!\n")
        << command;
    EXPECT_EQ(r.err, "halvern: COM1 (" + Path("empty") + "/ttyACM0) is listed but missing\n") << command;
    EXPECT_EQ(r.exit_status, 1) << command;
  }
}

// The tool driven key by key, its output read as it comes.
class ParamsConsoleTest : public ConsoleTest {};

TEST_F(ParamsConsoleTest, PromptsComeBeforeInputAndALateAnswerIsIgnored) {
  StartTarget();
  sim::Fault slow;
  slow.delay_ms = 1000;
  target_->SetFault(0x0033, slow);
  target_->SetParamArea(26, {0x5A});
  extra_env_.push_back({"HALVERN_WAIT_MS", "200"});
  StartTool({"-p", "RX5120", "-cmd", "params"});
  WaitForOutput(kHeader + kPrompt);
  Keys("g");
  WaitForOutput("Address: ");
  Keys("26\n");
  WaitForOutput("Length: ");
  Keys("1\n");
  WaitForOutput("Error\n\n" + kHyphens + kPrompt);
  // The read was given up: its answer, when it comes, is shown nowhere.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  Keys("q");
  EXPECT_EQ(Finish(), 0);
  EXPECT_EQ(tool_->Out(), kHeader + GetAction("Error\n") + kPrompt + "q");
}

// The answer to a read that was given up comes while the next read of the same address (two
// bytes instead of one) waits. It must not be taken for that read: the target holds 7F 55, and
// 7F from the late answer next to a stale byte is never shown or written.
class LateAnswerTest : public ParamsConsoleTest {
 protected:
  void SetUp() override {
    StartTarget();
    target_->SetParamArea(16, {0x7F, 0x55});
    WriteFile("late.txt", "0x10:b:0\n0x10:w:0\n");
  }
  const std::string head_ = kHeader + "OPEN: late.txt => OUT: late_01_02_0345.out\n\n";
};

TEST_F(LateAnswerTest, EveryReadAnsweredLateFailsAndNothingIsWritten) {
  sim::Fault slow;
  slow.delay_ms = 450;
  target_->SetFault(0x0033, slow);
  extra_env_.push_back({"HALVERN_WAIT_MS", "300"});
  StartTool({"-p", "RX5120", "-cmd", "param_get", "-settings", "late.txt"});
  EXPECT_EQ(Finish(), 1);
  EXPECT_EQ(tool_->Out(), head_ + "adr   16, len  1\nError\n\n" + "adr   16, len  2\nError\n\n" + kRule);
  EXPECT_EQ(ReadFile(work_ / "late_01_02_0345.out"), "");
}

TEST_F(LateAnswerTest, NextReadOfTheSameAddressGetsItsOwnAnswer) {
  sim::Fault slow;
  slow.delay_ms = 1500;
  target_->SetFault(0x0033, slow);
  extra_env_.push_back({"HALVERN_WAIT_MS", "1000"});
  StartTool({"-p", "RX5120", "-cmd", "param_get", "-settings", "late.txt"});
  ASSERT_TRUE(target_->WaitForEvent(0x0033, std::chrono::seconds(10)));
  target_->ClearFaults();  // only the first read is slow: the second one's answer follows the late one
  EXPECT_EQ(Finish(), 1);
  EXPECT_EQ(tool_->Out(), head_ + "adr   16, len  1\nError\n\n" + "adr   16, len  2 0x10:w:7F55\n\n" + kRule);
  EXPECT_EQ(ReadFile(work_ / "late_01_02_0345.out"), "0x10:w:7F55\n");
}

TEST_F(LateAnswerTest, LateWriteAnswerIsNotTakenForTheNextWrite) {
  WriteFile("late_set.txt", "0x10:b:11\n0x11:b:22\n");
  sim::Fault slow;
  slow.delay_ms = 450;
  target_->SetFault(0x0035, slow);
  extra_env_.push_back({"HALVERN_WAIT_MS", "300"});
  StartTool({"-p", "RX5120", "-cmd", "param_set", "-settings", "late_set.txt"});
  EXPECT_EQ(Finish(), 1);
  // The first write's answer comes while the second one waits: it must not count as its own.
  EXPECT_EQ(tool_->Out(), kHeader + "OPEN: late_set.txt\n\n" + "adr   16, len  1 Data: 11\n\nError\n" +
                              "adr   17, len  1 Data: 22\n\nError\n" + kRule);
}

TEST_F(ParamsConsoleTest, LateAnswerIsNotShownForTheNextReadOfTheSameAddress) {
  StartTarget();
  target_->SetParamArea(26, {0x5A, 0x6B});
  sim::Fault slow;
  slow.delay_ms = 1500;
  target_->SetFault(0x0033, slow);
  extra_env_.push_back({"HALVERN_WAIT_MS", "1000"});
  StartTool({"-p", "RX5120", "-cmd", "params"});
  WaitForOutput(kHeader + kPrompt);
  Keys("g26\n1\n");
  ASSERT_TRUE(target_->WaitForEvent(0x0033, std::chrono::seconds(10)));
  target_->ClearFaults();  // the next read is answered right behind the late answer
  WaitForOutput("Error\n\n" + kHyphens + kPrompt);
  Keys("g26\n2\n");
  WaitForOutput(kPrompt, 3);
  Keys("q");
  EXPECT_EQ(Finish(), 0);
  EXPECT_EQ(tool_->Out(), kHeader + GetAction("Error\n") + GetAction("Data:\n5A 6B ") + kPrompt + "q");
}

TEST_F(ParamsConsoleTest, OutputFileIsNamedAfterTheVersion) {
  sim::Config config;
  config.product_version = 0x0123;
  config.build = 0x0045;
  StartTarget(config);
  target_->SetParamArea(16, {0xC3});
  WriteFile("params.txt", "16:b:\n");
  StartTool({"-p", "RX5120", "-cmd", "param_get", "-settings", "params.txt"});
  EXPECT_EQ(Finish(), 0);
  EXPECT_EQ(tool_->Out(), kBanner + "Product: SW Version 01.23.0045\n\n" + kRule + "\n" +
                              "OPEN: params.txt => OUT: params_01_23_0045.out\n\n" + "adr   16, len  1 16:b:C3\n\n" +
                              kRule);
  EXPECT_EQ(ReadFile(work_ / "params_01_23_0045.out"), "16:b:C3\n");
}

}  // namespace
}  // namespace e2e
