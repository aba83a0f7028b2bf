// Files the tool writes: a second writer on the same name is refused and the first writer's
// file stays whole; a file is emptied only once it is held.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "platform/file_io.h"
#include "platform/open_file.h"
#include "platform/path.h"

namespace {

// A fresh directory of its own, removed with the object.
struct ScratchDir {
  ScratchDir() {
    std::random_device random;
    path_ = std::filesystem::temp_directory_path() / ("halvern-files-" + std::to_string(random()));
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path path_;
};

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(HeldFileTest, SecondRecordFileOnOneNameIsRefusedAndTheFirstStaysWhole) {
  ScratchDir dir;
  const std::string path = (dir.path() / "trace.txt").string();
  platform::OutputFile first, second;
  int error = 0;
  ASSERT_TRUE(first.Create(path, &error));
  EXPECT_EQ(first.Write("BEGIN", 5), 5u);
  EXPECT_FALSE(second.Create(path, &error));
  EXPECT_NE(error, 0);
  EXPECT_EQ(first.Write("END", 3), 3u);  // no hole where the refused opener would have emptied it
  first.Close();
  EXPECT_EQ(ReadAll(path), "BEGINEND");

  ASSERT_TRUE(second.Create(path, &error));  // free again: replaced
  second.Close();
  EXPECT_EQ(ReadAll(path), "");
}

TEST(HeldFileTest, SecondTextFileWriterIsRefusedAndTheFirstStaysWhole) {
  ScratchDir dir;
  const std::filesystem::path path = dir.path() / "run.log";
  std::ofstream(path, std::ios::binary) << "an older run";
  int error = 0;
  std::FILE* first = platform::CreateHeldTextFile(path.string(), &error);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(ReadAll(path), "");  // emptied once held
  std::fputs("first", first);
  std::fflush(first);
  error = 0;
  EXPECT_EQ(platform::CreateHeldTextFile(path.string(), &error), nullptr);
  EXPECT_NE(error, 0);
  std::fputs(" run", first);
  std::fclose(first);
  EXPECT_EQ(ReadAll(path), "first run");

  EXPECT_EQ(platform::CreateHeldTextFile(dir.path().string(), &error), nullptr);  // a directory
  EXPECT_EQ(platform::CreateHeldTextFile((dir.path() / "no" / "such.log").string(), &error), nullptr);
}

// A device takes any number of writers: two runs logging to /dev/null (or testing /dev/full)
// at once never refuse each other.
TEST(HeldFileTest, ADeviceIsNeverHeld) {
  int error = 0;
  for (const char* device : {"/dev/null", "/dev/full"}) {
    std::FILE* first = platform::CreateHeldTextFile(device, &error);
    ASSERT_NE(first, nullptr) << device;
    std::FILE* second = platform::CreateHeldTextFile(device, &error);
    EXPECT_NE(second, nullptr) << device;
    platform::OutputFile third;
    EXPECT_TRUE(third.Create(device, &error)) << device;
    if (second) std::fclose(second);
    std::fclose(first);
  }
}

}  // namespace

// halvern-trace -f tells a file written again from one replaced under its name by this.
TEST(FileIdentityTest, ANameAndAnOpenStreamLeadToTheSameFileOrNot) {
  ScratchDir dir;
  const auto a = dir.path() / "a.txt", b = dir.path() / "b.txt";
  std::ofstream(a) << "same size";
  std::ofstream(b) << "same size";
  std::FILE* open = std::fopen(a.string().c_str(), "rb");
  ASSERT_NE(open, nullptr);
  platform::FileIdentity stream, named_a, named_b;
  EXPECT_TRUE(platform::StreamIdentity(open, &stream));
  std::ofstream(a, std::ios::trunc) << "written again, longer";  // still the same file
  EXPECT_TRUE(platform::PathIdentity(a.string(), &named_a));
  EXPECT_TRUE(platform::PathIdentity(b.string(), &named_b));
  EXPECT_EQ(named_a, stream);
  EXPECT_NE(named_b, stream);
  EXPECT_FALSE(platform::PathIdentity((dir.path() / "none.txt").string(), &named_b));
  std::fclose(open);
}

// Folders made along a path in another script and past the classic limit of 260 characters,
// looked at and emptied by name; a folder cannot be made below a file.
TEST(FolderTest, FoldersOfAnyNameAreMadeLookedAtAndEmptied) {
  ScratchDir dir;
  const std::string sep(1, platform::PathSeparators()[std::strlen(platform::PathSeparators()) - 1]);
  const std::string cyrillic = "\xD0\x9F\xD1\x80\xD0\xBE\xD1\x88\xD0\xB8\xD0\xB2\xD0\xBA\xD0\xB0";
  const std::string deep = platform::JoinPath(platform::JoinPath(dir.path().string(), cyrillic),
                                              std::string(150, 'l') + sep + std::string(150, 'm'));
  std::string reason;
  ASSERT_TRUE(platform::CreateDirectories(deep, &reason)) << reason;
  EXPECT_TRUE(platform::CreateDirectories(deep, &reason)) << reason;  // there already
  EXPECT_TRUE(platform::IsDirectory(deep));
  const std::string file = platform::JoinPath(deep, "f.bin");
  std::FILE* out = platform::OpenFile(file, "wb");
  ASSERT_NE(out, nullptr);
  std::fputs("seven b", out);
  std::fclose(out);
  uint64_t size = 0;
  EXPECT_TRUE(platform::FileSize(file, &size));
  EXPECT_EQ(size, 7u);
  EXPECT_TRUE(platform::PathExists(file));
  EXPECT_FALSE(platform::IsDirectory(file));
  EXPECT_FALSE(platform::CreateDirectories(platform::JoinPath(file, "below"), &reason));
  EXPECT_FALSE(reason.empty());
  EXPECT_TRUE(platform::RemoveFile(file));
  EXPECT_FALSE(platform::PathExists(file));
  EXPECT_FALSE(platform::FileSize(file, &size));
  EXPECT_FALSE(platform::RemoveFile(file));
}
