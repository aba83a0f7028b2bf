// Report files shared by several processes: every line arrives whole, none interleaved.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "e2e_support.h"
#include "platform/append_file.h"

namespace {

TEST(SharedAppendFile, LinesOfManyProcessesNeverInterleaveOrTear) {
  e2e::TempDir dir;
  const std::string path = (dir.path() / "report.jsonl").string();
  constexpr int kWriters = 6, kLines = 150;
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      platform::SharedAppendFile file;
      std::string reason;
      if (!file.Open(path, &reason)) ::_exit(2);
      for (int i = 0; i < kLines; ++i) {
        // Lines far longer than what a pipe or a terminal writes in one piece.
        const std::string line =
            std::to_string(w) + ":" + std::string(3000 + 97 * i, static_cast<char>('a' + w)) + "\n";
        if (!file.Append(line, &reason)) ::_exit(3);
      }
      ::_exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  std::ifstream in(path);
  std::string line;
  int count[kWriters] = {};
  while (std::getline(in, line)) {
    ASSERT_GE(line.size(), 2u);
    const int w = line[0] - '0';
    ASSERT_TRUE(w >= 0 && w < kWriters) << line.substr(0, 20);
    const std::string body = line.substr(2);
    EXPECT_EQ(body, std::string(3000 + 97 * count[w], static_cast<char>('a' + w))) << "writer " << w;
    ++count[w];
  }
  for (int w = 0; w < kWriters; ++w) EXPECT_EQ(count[w], kLines);
}

TEST(SharedAppendFile, AFileThatCannotBeOpenedSaysWhy) {
  e2e::TempDir dir;
  platform::SharedAppendFile file;
  std::string reason;
  EXPECT_FALSE(file.Open((dir.path() / "no" / "r.jsonl").string(), &reason));
  EXPECT_EQ(reason, "No such file or directory");
  EXPECT_FALSE(file.Open(dir.path().string(), &reason));
  EXPECT_EQ(reason, "Is a directory");
}

}  // namespace
