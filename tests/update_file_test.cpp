// The update commands' file access with files beyond the 32-bit offsets: a PILL or image file of
// 2 GiB or more must be sized and written in place exactly. The files are sparse (the size is
// set, nothing is written), so they cost no disk space.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fake_serial.h"
#include "update/update_file.h"

namespace {

namespace fs = std::filesystem;
using halvern_test::TempDir;

// A sparse file of the given size; false where the file system cannot hold one.
bool MakeSparse(const fs::path& path, uint64_t size) {
  std::ofstream(path, std::ios::binary).put('P');
  std::error_code ec;
  fs::resize_file(path, size, ec);
  return !ec && fs::file_size(path, ec) == size && !ec;
}

class LargeUpdateFileTest : public ::testing::TestWithParam<uint64_t> {
 protected:
  TempDir dir_;
};

TEST_P(LargeUpdateFileTest, SizedExactlyAndWrittenInPlaceBeyond2GiB) {
  const uint64_t size = GetParam();
  const fs::path path = dir_.path() / "big.pill";
  if (!MakeSparse(path, size)) GTEST_SKIP() << "no sparse file of " << size << " bytes here";

  int error = -1;
  std::FILE* file = cmUpdFileOpenReadWrite(path.string().c_str(), &error);
  ASSERT_NE(file, nullptr) << error;
  uint64_t got = 0;
  ASSERT_TRUE(cmUpdFileSize(file, &got));
  EXPECT_EQ(got, size);

  // The position is back at the start: the first byte reads as written.
  uint8_t first = 0;
  bool failed = true;
  EXPECT_EQ(cmUpdFileRead(file, &first, 1, &failed), 1u);
  EXPECT_FALSE(failed);
  EXPECT_EQ(first, 'P');

  // Four bytes near the end, past every 32-bit offset, land there and nowhere else.
  const uint8_t stamp[4] = {0x26, 0x12, 0x07, 0x01};
  const uint64_t at = size - 6;
  EXPECT_TRUE(cmUpdFileWriteAt(file, at, stamp, sizeof stamp));
  EXPECT_TRUE(cmUpdFileClose(file));
  EXPECT_EQ(fs::file_size(path), size);

  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(at - 1));
  std::vector<char> back(6);
  in.read(back.data(), 6);
  ASSERT_TRUE(in);
  EXPECT_EQ(std::vector<char>(back.begin(), back.end()),
            (std::vector<char>{0, 0x26, 0x12, 0x07, 0x01, 0}));

  // Read-only opening sizes it the same.
  file = cmUpdFileOpenRead(path.string().c_str(), &error);
  ASSERT_NE(file, nullptr) << error;
  got = 0;
  EXPECT_TRUE(cmUpdFileSize(file, &got));
  EXPECT_EQ(got, size);
  EXPECT_TRUE(cmUpdFileRewind(file));
  EXPECT_TRUE(cmUpdFileClose(file));
}

// Low 32 bits at or above 2^31 (negative as a 32-bit long), and a size past 4 GiB whose low
// 32 bits alone would give a few bytes.
INSTANTIATE_TEST_SUITE_P(Sizes, LargeUpdateFileTest,
                         ::testing::Values(0x80001000ull, 0xFFFFF000ull, 0x100000010ull));

}  // namespace
