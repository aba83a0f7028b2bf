// Telling UTF-16 from other text by a file's first bytes, and what a text file's reader gets
// after its start: the cases the end-to-end table does not reach.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "session/text_file.h"

namespace {

TEST(TextFileTest, Utf16IsToldByItsMarkOrItsNuls) {
  const struct {
    std::string start;
    bool utf16;
  } cases[] = {
      {std::string("\xFF\xFE", 2), true},        // a mark alone
      {std::string("\xFE\xFF\0a", 4), true},     // big-endian
      {std::string("a\0b\0", 4), true},          // little-endian, no mark
      {std::string("a\0b", 3), true},            // cut short by an odd byte
      {std::string("\0\0\0\0", 4), false},       // NULs alone are not text of either kind
      {std::string("a\0bc", 4), false},          // one NUL in 8-bit text
      {"a", false},
      {"", false},
      {"\xEF\xBB\xBF" "a", false},               // UTF-8's mark
  };
  for (const auto& c : cases) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(c.start.data());
    EXPECT_EQ(cmTextIsUtf16(bytes, c.start.size()), c.utf16) << testing::PrintToString(c.start);
  }
}

TEST(TextFileTest, OnlyAWholeUtf8MarkIsSkipped) {
  const auto path = std::filesystem::temp_directory_path() / ("halvern-text-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  const struct {
    std::string content;
    std::string read;
  } cases[] = {
      {"\xEF\xBB\xBF", ""},
      {"\xEF\xBB\xBF\xEF\xBB\xBF" "a", "\xEF\xBB\xBF" "a"},  // one mark only
      {"\xEF\xBB" "a", "\xEF\xBB" "a"},
      {"a\xEF\xBB\xBF", "a\xEF\xBB\xBF"},  // a mark further on is text
  };
  for (const auto& c : cases) {
    std::ofstream(path, std::ios::binary) << c.content;
    TEXT_OPEN_RESULT result = TEXT_OPEN_FAILED;
    std::FILE* file = cmTextFileOpen(path.string().c_str(), "rb", &result);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(result, TEXT_OPEN_OK);
    std::string read;
    for (int ch; (ch = std::fgetc(file)) != EOF;) read.push_back(static_cast<char>(ch));
    std::fclose(file);
    EXPECT_EQ(read, c.read) << testing::PrintToString(c.content);
  }
  std::filesystem::remove(path);
  TEXT_OPEN_RESULT result = TEXT_OPEN_OK;
  EXPECT_EQ(cmTextFileOpen(path.string().c_str(), "rb", &result), nullptr);
  EXPECT_EQ(result, TEXT_OPEN_FAILED);
}

}  // namespace
