// Telling UTF-16 from other text by a file's first bytes: the cases the end-to-end table does not
// reach.
#include <gtest/gtest.h>

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

}  // namespace
