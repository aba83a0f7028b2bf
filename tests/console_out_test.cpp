// Text on its way out: what a console is given for UTF-8 text, and files opened and written by
// names in any script and of any length, the bytes unchanged.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

#include "platform/console_out.h"
#include "platform/open_file.h"
#include "session/console_text.h"

namespace {

namespace fs = std::filesystem;

const std::string kCyrillic = "\xD0\x9F\xD1\x80\xD0\xBE\xD1\x88\xD0\xB8\xD0\xB2\xD0\xBA\xD0\xB0";

std::string Utf8(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

TEST(ConsoleTextTest, Utf16OfUtf8TextKeepsWhatIsWellFormedAndMarksEachBadByte) {
  struct Row {
    const char* what;
    std::string utf8;
    std::u16string utf16;
  };
  const Row rows[] = {
      {"ascii and line ends", "a\\b\r\n", u"a\\b\r\n"},
      {"two-byte letters", kCyrillic, u"\u041F\u0440\u043E\u0448\u0438\u0432\u043A\u0430"},
      {"three bytes", "\xE2\x82\xAC", u"\u20AC"},
      {"four bytes: a pair of halves", "x\xF0\x9F\x93\x81y", u"x\xD83D\xDCC1y"},
      {"the last value there is", "\xF4\x8F\xBF\xBF", u"\xDBFF\xDFFF"},
      {"a stray continuation byte", "a\x80z", u"a\uFFFDz"},
      {"an overlong slash", "\xC0\xAF/", u"\uFFFD\uFFFD/"},
      {"an overlong three-byte form", "\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},
      {"a surrogate half", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"a sequence cut by another character", "\xE2\x82" "A", u"\uFFFD\uFFFDA"},
      {"a sequence cut by the end", "ok\xD0", u"ok\uFFFD"},
      {"a byte that never leads", "\xFF\xFE", u"\uFFFD\uFFFD"},
  };
  for (const Row& row : rows) EXPECT_EQ(platform::Utf16FromUtf8(row.utf8), row.utf16) << row.what;
}

// A folder of its own with a Cyrillic name, removed with the object.
struct ScratchDir {
  ScratchDir() {
    std::random_device random;
    path_ = fs::temp_directory_path() / ("halvern-out-" + std::to_string(random())) /
            std::u8string(kCyrillic.begin(), kCyrillic.end());
    fs::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ec;
    fs::remove_all(path_.parent_path(), ec);
  }
  fs::path path_;
};

// Files reached by names in another script and longer than the classic limit of 260
// characters; text written to them arrives as the same UTF-8 bytes, however long.
TEST(ConsoleTextTest, FilesOfAnyNameTakeTheUtf8BytesUnchanged) {
  ScratchDir dir;
  const fs::path deep = dir.path_ / std::string(150, 'l') / std::string(150, 'm');
  fs::create_directories(deep);
  for (const fs::path& folder : {dir.path_, deep}) {
    const std::string path = Utf8(folder / "out.txt");
    SCOPED_TRACE(path.size());
    std::FILE* out = platform::OpenFile(path, "wb");
    ASSERT_NE(out, nullptr) << errno;
    platform::PrintText(out, "cannot open '%s'\n", path.c_str());
    ASSERT_EQ(std::fclose(out), 0);
    std::FILE* in = platform::OpenFile(path, "rb");
    ASSERT_NE(in, nullptr) << errno;
    std::string back(path.size() + 64, '\0');
    back.resize(std::fread(back.data(), 1, back.size(), in));
    std::fclose(in);
    EXPECT_EQ(back, "cannot open '" + path + "'\n");
  }
  EXPECT_EQ(platform::OpenFile(Utf8(dir.path_ / "none" / "x"), "rb"), nullptr);
}

// A line that names a long path is told whole, not cut at a buffer's end.
TEST(ConsoleTextTest, ALineOnStandardErrorNamesALongPathWhole) {
  const std::string path = "C:\\" + kCyrillic + "\\" + std::string(600, 'p') + "\\fw.bin";
  testing::internal::CaptureStderr();
  cmTell("cannot open '%s': %s", path.c_str(), "No such file or directory");
  std::string err = testing::internal::GetCapturedStderr();
  std::erase(err, '\r');  // a text-mode stream's line end on Windows
  EXPECT_EQ(err,
            "halvern: cannot open '" + path + "': No such file or directory\n");
}

}  // namespace
