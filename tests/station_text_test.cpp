// What the station writes beside its console: the plain progress of a child where the output is
// not a terminal, and the names of the service logs.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include "station/plain_progress.h"
#include "station/service_log.h"

namespace {

std::string Counters(int from_kb, int to_kb) {
  std::string text;
  for (int kb = from_kb; kb <= to_kb; kb += 1) {
    char line[32];
    std::snprintf(line, sizeof line, "Writing: %3d Kb\r", kb);
    text += line;
  }
  return text;
}

TEST(PlainProgressTest, CountersBecomeALinePerTenthAndEverythingElseStays) {
  const struct {
    std::string out;
    uint64_t total;
    std::string shown;
  } cases[] = {
      {"", 0, ""},
      {"Product: SW Version 01.02.0345\n\nUpdate Start\n", 20 * 1024, "Product: SW Version 01.02.0345\n\nUpdate Start\n"},
      // 20 KB: a line at 2, 4, ... 20 KB; the counter of 1 KB is in no new tenth.
      {"Update Start\n" + Counters(1, 20) + "\nFW Update successfully finished\n", 20 * 1024,
       "Update Start\nWriting:   2 Kb\nWriting:   4 Kb\nWriting:   6 Kb\nWriting:   8 Kb\nWriting:  10 Kb\n"
       "Writing:  12 Kb\nWriting:  14 Kb\nWriting:  16 Kb\nWriting:  18 Kb\nWriting:  20 Kb\n\n"
       "FW Update successfully finished\n"},
      // Cut short: the last counter reached stays.
      {Counters(1, 5) + "\n[ERROR]\tFW Update was not successfully finished!\n", 20 * 1024,
       "Writing:   2 Kb\nWriting:   4 Kb\nWriting:   5 Kb\n\n[ERROR]\tFW Update was not successfully finished!\n"},
      {Counters(1, 3), 0, "Writing:   3 Kb\n"},  // size not known: the last one
      {"Writing: x Kb\rWriting: 7", 1024, "Writing: x Kb\rWriting: 7"},  // no counters: as they are
  };
  for (const auto& c : cases) EXPECT_EQ(cmPlainProgress(c.out, c.total), c.shown) << c.out;
}

TEST(ServiceLogTest, ALogIsNamedByTheRepeaterAndItsUtcStartAndNeverReplacesAnother) {
  struct Dir {
    Dir() : p(std::filesystem::temp_directory_path() / ("halvern-log-" + std::to_string(std::random_device()()))) {
      std::filesystem::create_directories(p);
    }
    ~Dir() { std::filesystem::remove_all(p); }
    const std::filesystem::path& path() const { return p; }
    std::filesystem::path p;
  } dir;
  using namespace std::chrono;
  const auto when = sys_days{year{2026} / 12 / 8} + hours{9} + minutes{30} + seconds{12} + milliseconds{345};
  const std::string d = dir.path().string();
  EXPECT_EQ(cmServiceLogPath(d, "RX5120-0001", 3, when), (dir.path() / "RX5120-0001_20261208T093012.345Z.log").string());
  EXPECT_EQ(cmServiceLogPath(d, "", 11, when), (dir.path() / "COM11_20261208T093012.345Z.log").string());
  EXPECT_EQ(cmServiceLogPath(d, "../a:b", 1, when), (dir.path() / "___a_b_20261208T093012.345Z.log").string());
  const std::string first = cmServiceLogPath(d, "RX1", 1, when);
  std::string reason;
  ASSERT_TRUE(cmServiceLogWrite(first, "one\n", &reason)) << reason;
  EXPECT_EQ(cmServiceLogPath(d, "RX1", 1, when), (dir.path() / "RX1_20261208T093012.345Z_2.log").string());
  EXPECT_FALSE(cmServiceLogWrite((dir.path() / "no" / "x.log").string(), "x", &reason));
  EXPECT_FALSE(reason.empty());
}

}  // namespace
