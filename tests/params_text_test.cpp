// Settings-line parsing, hex decoding, the number readers, the line reader and the output
// file's name.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "params/param_admin.h"
#include "params/param_file.h"
#include "platform/path.h"

namespace {

TEST(ParamHexDecodeTest, DigitsPairsAndMissingDigits) {
  struct Case {
    std::string text;  // may hold a NUL
    size_t count;
    std::vector<uint8_t> bytes;
  };
  const Case cases[] = {
      {"0A0b", 2, {0x0A, 0x0B}},
      {"0A0b7", 3, {0x0A, 0x0B, 0x70}},
      {"fFaA09", 3, {0xFF, 0xAA, 0x09}},
      {"G1", 1, {0x01}},
      {"1G", 1, {0x10}},
      {"A", 1, {0xA0}},
      {"7F;\n", 2, {0x7F, 0x00}},
      {"", 3, {0x00, 0x00, 0x00}},
      {std::string("1\0FF", 4), 2, {0x10, 0x00}},  // nothing is read past the end of the text
      {"123456", 2, {0x12, 0x34}},                 // surplus digits are ignored
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> out(c.count + 1, 0xEE);
    cmParamHexDecode(c.text.c_str(), c.count, out.data());
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + static_cast<long>(c.count)), c.bytes) << c.text;
    EXPECT_EQ(out[c.count], 0xEE) << "wrote past count for " << c.text;
  }
}

// A set line's data: the digits its format needs must all be there and be hexadecimal.
TEST(ParamHexRefusalTest, EveryPlaceTheLengthNeedsHoldsAHexDigit) {
  struct Case {
    const char* line;
    const char* refusal;
  };
  const Case cases[] = {
      {"16:b:7f;junk\n", ""},
      {"16:w:ABCDxyz", ""},
      {"16:b:0x5A\n", "'0x5A' is not hexadecimal"},
      {"16:b:1G;x\n", "'1G' is not hexadecimal"},
      {"16:w:12\n", "too few digits (2 of 4)"},
      {"16:w:12;34\n", "too few digits (2 of 4)"},
      {"16:w:", "too few digits (0 of 4)"},
      {"16:w:12 34\n", "'12 34' is not hexadecimal"},
      {"16:a:12345;\n", ""},  // an odd array ends on its ";" with a half byte
      {"16:a:1;\n", ""},
      {"16:a:12345\n", "too few digits (5 of 6)"},
      {"16:a:01 2;\n", "'01 2' is not hexadecimal"},
  };
  for (const auto& c : cases) {
    const ST_PARAM_LINE p = cmParamParseLine(c.line, false);
    ASSERT_EQ(p.kind, PARAM_LINE_REQUEST) << c.line;
    EXPECT_EQ(cmParamHexRefusal(c.line + p.field, p.digits), c.refusal) << c.line;
  }
}

TEST(ParamNumberTest, DecimalReadsAsAtoiWithoutOverflow) {
  EXPECT_EQ(cmParamDecimal("26"), 26u);
  EXPECT_EQ(cmParamDecimal("  \t+26xyz"), 26u);
  EXPECT_EQ(cmParamDecimal("-1"), 0xFFFFFFFFu);
  EXPECT_EQ(cmParamDecimal("abc"), 0u);
  EXPECT_EQ(cmParamDecimal(""), 0u);
  EXPECT_EQ(static_cast<uint16_t>(cmParamDecimal("65536")), 0);
  EXPECT_EQ(static_cast<uint16_t>(cmParamDecimal("65562")), 26);
  cmParamDecimal("999999999999999999999999");  // wraps, no overflow trap
}

TEST(ParamNumberTest, HexAddressNeedsTheLiteralAndOneToFourDigits) {
  struct Case {
    const char* text;
    bool reads;
    uint16_t value;
    size_t consumed;
  };
  const Case cases[] = {
      {"0x001A", true, 26, 6}, {"0x1a", true, 26, 4},    {"0xFFFF", true, 0xFFFF, 6},
      {"0x12345", true, 0x1234, 6}, {"0x", false, 0, 0}, {"0xg1", false, 0, 0},
      {"1x10", false, 0, 0},   {"0X10", false, 0, 0},     {"", false, 0, 0},
  };
  for (const auto& c : cases) {
    uint16_t value = 777;
    const char* end = cmParamReadHex(c.text, &value);
    EXPECT_EQ(end != nullptr, c.reads) << c.text;
    EXPECT_EQ(value, c.reads ? c.value : 777) << c.text;
    if (end) {
      EXPECT_EQ(static_cast<size_t>(end - c.text), c.consumed) << c.text;
    }
  }
}

TEST(ParamLineTest, ParsesEveryKindOfLine) {
  struct Case {
    const char* line;
    bool is_get;
    PARAM_LINE_KIND kind;
    uint16_t address;
    uint16_t length;
    size_t field;
  };
  const auto C = PARAM_LINE_COMMENT, R = PARAM_LINE_REQUEST, F = PARAM_LINE_WRONG_FORMAT, W = PARAM_LINE_WRONG;
  const Case cases[] = {
      {"# comment\n", false, C, 0, 0, 0},
      {" 16:b:7F\n", false, C, 0, 0, 0},      // blank-led lines are comments
      {"\t16:b:7F\n", true, C, 0, 0, 0},
      {"\n", false, C, 0, 0, 0},
      {"", true, C, 0, 0, 0},
      {"\x7f", true, W, 0, 0, 0},
      {"16:b:7F\n", false, R, 16, 1, 5},
      {"0x10:b:7F\n", false, R, 16, 1, 7},
      {"0x0020:w:1234\n", false, R, 32, 2, 9},
      {"16:w:0\n", true, R, 16, 2, 5},
      {"0x0040:a:0102030405;\n", false, R, 64, 5, 9},
      {"0x0040:a:01020;\n", false, R, 64, 3, 9},
      {"0x0040:a:0102030405\n", false, R, 64, 5, 9},  // no ";": the digits run to the line end
      {"0x0040:a:0102030405", false, R, 64, 5, 9},
      {"0x0040:a:5\n", true, R, 64, 5, 9},
      {"0x0040:a:600\n", true, R, 64, 600, 9},
      {"0x0040:a:-1\n", true, R, 64, 65535, 9},
      {"0x0040:a:\n", true, R, 64, 0, 9},
      {"0x0040:a:;\n", false, W, 64, 0, 0},  // no digits before the ";"
      {"0x0040:a:\n", false, W, 64, 0, 0},
      {"16:a;:0102;\n", false, W, 16, 0, 0},  // the ";" comes before FIELD
      {"16:a:01;02:03\n", false, R, 16, 1, 5},
      {"-1:b:00\n", false, R, 65535, 1, 5},
      {"65552:b:00\n", false, R, 16, 1, 8},
      {"16:W:12\n", false, F, 16, 0, 0},     // formats are case-sensitive
      {"16:\n", true, F, 16, 0, 0},
      {"16::\n", true, F, 16, 0, 0},
      {"16:b\n", true, W, 16, 0, 0},         // no FIELD
      {"16\n", false, W, 0, 0, 0},
      {"16:", false, W, 0, 0, 0},
      {"abc:b:12\n", false, W, 0, 0, 0},
      {"1x10:b:12\n", false, W, 0, 0, 0},
      {"0x:b:12\n", false, W, 0, 0, 0},
      {"0x12345:b:12\n", false, W, 0, 0, 0},
  };
  for (const auto& c : cases) {
    ST_PARAM_LINE p = cmParamParseLine(c.line, c.is_get);
    EXPECT_EQ(p.kind, c.kind) << c.line;
    if (p.kind != PARAM_LINE_REQUEST) continue;
    EXPECT_EQ(p.address, c.address) << c.line;
    EXPECT_EQ(p.length, c.length) << c.line;
    EXPECT_EQ(p.field, c.field) << c.line;
  }
  EXPECT_EQ(cmParamParseLine("16:W:12\n", false).format, 'W');
}

TEST(ParamLineTest, ReaderTakesPiecesAndReadsCrLfAsNewline) {
  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  const std::string long_line(300, 'x');
  const std::string crlf_at_edge = std::string(254, 'y') + "\r\n";  // CR is the 255th character
  const std::string content = "a\r\nb\n" + long_line + "\n" + crlf_at_edge + "c\rd\n" + "last\r";
  std::fwrite(content.data(), 1, content.size(), f);
  std::rewind(f);

  std::vector<std::string> pieces;
  std::string piece;
  while (cmParamReadLine(f, &piece)) pieces.push_back(piece);
  std::fclose(f);

  const std::vector<std::string> expected = {
      "a\n", "b\n", std::string(255, 'x'), std::string(45, 'x') + "\n", std::string(254, 'y') + "\n",
      "c\rd\n", "last\r"};
  EXPECT_EQ(pieces, expected);
}

// Whole lines come as they are; a longer line is never handed out in part: a comment piece by
// piece (its line number kept), any other line once, its rest dropped.
TEST(ParamLineReaderTest, LinesTooLongForOnePieceAreNeverTakenInPart) {
  const std::string fits(254, 'f'), over(255, 'o');
  struct Case {
    std::string content;
    std::vector<std::string> texts;
    std::vector<PARAM_READ_KIND> kinds;
    std::vector<int> numbers;
  };
  const Case cases[] = {
      {fits + "\n" + fits + "\r\nx",
       {fits + "\n", fits + "\n", "x"},
       {PARAM_READ_LINE, PARAM_READ_LINE, PARAM_READ_LINE},
       {1, 2, 3}},
      // CR LF after a full piece: the line is one character too long.
      {fits + "o\r\n16:b:\n", {fits + "o", "16:b:\n"}, {PARAM_READ_TOO_LONG, PARAM_READ_LINE}, {1, 2}},
      {over, {over}, {PARAM_READ_LINE}, {1}},  // one read takes it whole: the file ends there
      {"#" + over + "16:b:7F\nx\n", {("#" + over).substr(0, 255), "o16:b:7F\n", "x\n"},
       {PARAM_READ_COMMENT_PIECE, PARAM_READ_COMMENT_PIECE, PARAM_READ_LINE}, {1, 1, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content.substr(0, 300));
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    std::fwrite(c.content.data(), 1, c.content.size(), f);
    std::rewind(f);
    ParamLineReader reader(f);
    std::vector<std::string> texts;
    std::vector<PARAM_READ_KIND> kinds;
    std::vector<int> numbers;
    std::string text;
    PARAM_READ_KIND kind = PARAM_READ_LINE;
    while (reader.Next(&text, &kind)) {
      texts.push_back(text);
      kinds.push_back(kind);
      numbers.push_back(reader.LineNumber());
    }
    EXPECT_EQ(reader.Error(), 0);
    std::fclose(f);
    EXPECT_EQ(texts, c.texts);
    EXPECT_EQ(kinds, c.kinds);
    EXPECT_EQ(numbers, c.numbers);
  }
}

// The name is cut in the file name only: the output file lands beside its settings file.
TEST(ParamOutFileTest, NameIsCutAtTheFirstDotOfTheFileName) {
  const bool backslash_separates = std::string(platform::PathSeparators()).find('\\') != std::string::npos;
  const std::string long_path(400, 'p');
  const std::pair<std::string, std::string> cases[] = {
      {"params.txt", "params_01_23_0045.out"},
      {"settings", "settings_01_23_0045.out"},
      {"a.b.txt", "a_01_23_0045.out"},
      {"sub.d/params.txt", "sub.d/params_01_23_0045.out"},
      {"sub.d/params", "sub.d/params_01_23_0045.out"},
      {"../dir/set.txt", "../dir/set_01_23_0045.out"},
      {"C:\\users\\j.smith\\My Settings\\repeater.txt",
       backslash_separates ? "C:\\users\\j.smith\\My Settings\\repeater_01_23_0045.out"
                           : "C:\\users\\j_01_23_0045.out"},
      {"..\\dir\\set.txt", backslash_separates ? "..\\dir\\set_01_23_0045.out" : "_01_23_0045.out"},
      {long_path + ".txt", long_path + "_01_23_0045.out"},
  };
  for (const auto& [path, name] : cases) EXPECT_EQ(cmParamOutFileName(path, 0x0123, 0x0045), name) << path;
  EXPECT_EQ(cmParamOutFileName("settings", 0xABCD, 0xBEEF), "settings_AB_CD_BEEF.out");
}

}  // namespace
