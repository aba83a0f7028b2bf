// The Win32 shared append file: writers with handles of their own never interleave or tear a
// line, and the host name is there.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/append_file.h"

namespace {

TEST(Win32SharedAppendFile, WritersWithTheirOwnHandlesKeepEveryLineWhole) {
  char base[MAX_PATH];
  const DWORD n = ::GetTempPathA(sizeof base, base);
  const std::string path =
      std::string(base, n) + "halvern-report-" + std::to_string(::GetCurrentProcessId()) + ".jsonl";
  ::DeleteFileA(path.c_str());
  constexpr int kWriters = 4, kLines = 100;
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w)
    writers.emplace_back([&, w] {
      platform::SharedAppendFile file;
      std::string reason;
      ASSERT_TRUE(file.Open(path, &reason)) << reason;
      for (int i = 0; i < kLines; ++i)
        ASSERT_TRUE(file.Append(std::to_string(w) + ":" + std::string(2000 + 31 * i, 'a' + w) + "\n", &reason))
            << reason;
    });
  for (auto& t : writers) t.join();
  std::ifstream in(path, std::ios::binary);
  int count[kWriters] = {};
  for (std::string line; std::getline(in, line);) {
    const int w = line[0] - '0';
    ASSERT_TRUE(w >= 0 && w < kWriters);
    EXPECT_EQ(line.substr(2), std::string(2000 + 31 * count[w], 'a' + w));
    ++count[w];
  }
  for (int w = 0; w < kWriters; ++w) EXPECT_EQ(count[w], kLines);
  in.close();
  ::DeleteFileA(path.c_str());
  EXPECT_FALSE(platform::HostName().empty());
}

}  // namespace
