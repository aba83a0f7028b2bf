// -ondone hooks: run through the shell one at a time in the order queued, with the record on
// standard input and its fields in the environment; a failing or hanging hook is told, never fatal.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>

#include "e2e_support.h"
#include "station/hooks.h"

namespace {

ST_SERVICE_RECORD Record(int port, const char* result, const char* serial) {
  ST_SERVICE_RECORD r;
  r.command = "update";
  r.port = port;
  r.result = result;
  if (serial) r.serial = serial;
  if (std::string(result) != "ok") r.reason = "no_link";
  r.version_before = "01.02.0345";
  return r;
}

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

TEST(HooksTest, EachRecordRunsTheCommandInTurnWithItsLineAndFields) {
  e2e::TempDir dir;
  const std::string out = (dir.path() / "hooks.txt").string();
  // A slow first hook: the second must still come after it.
  CmHooks hooks("read line; [ \"$HALVERN_PORT\" = 1 ] && sleep 0.3; echo \"$HALVERN_PORT $HALVERN_RESULT "
                "[$HALVERN_REASON] [$HALVERN_SERIAL] $HALVERN_COMMAND $HALVERN_VERSION_BEFORE "
                "[$HALVERN_VERSION_AFTER] [$HALVERN_LOG] $line\" >>'" + out + "'",
                10000);
  hooks.Queue(Record(1, "ok", "RX1"), "{\"a\":1}\n");
  hooks.Queue(Record(2, "failed", nullptr), "{\"b\":2}\n");
  hooks.Drain();
  EXPECT_EQ(ReadAll(out),
            "1 ok [] [RX1] update 01.02.0345 [] [] {\"a\":1}\n"
            "2 failed [no_link] [] update 01.02.0345 [] [] {\"b\":2}\n");
  EXPECT_TRUE(hooks.TakeFailures().empty());
}

TEST(HooksTest, AFailingOrHangingHookIsToldAndTheNextOneStillRuns) {
  e2e::TempDir dir;
  const std::string out = (dir.path() / "after.txt").string();
  // Port 1 fails, port 2 hangs with a program of its own started (ended with it), port 3 runs.
  CmHooks hooks("case $HALVERN_PORT in 1) exit 3;; 2) sleep 30 & sleep 30;; *) echo ran >'" + out + "';; esac",
                500);
  const auto begin = std::chrono::steady_clock::now();
  for (int port = 1; port <= 3; ++port) hooks.Queue(Record(port, "ok", "RX9"), "{}\n");
  hooks.Drain();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(20));
  EXPECT_EQ(ReadAll(out), "ran\n");
  const std::vector<std::string> failures = hooks.TakeFailures();
  ASSERT_EQ(failures.size(), 2u);
  EXPECT_EQ(failures[0], "halvern: -ondone for port 1, serial RX9 failed (exit status 3)");
  EXPECT_EQ(failures[1], "halvern: -ondone for port 2, serial RX9 was ended after 0.5 s");
}

// How many hooks are left, and a wait for them that gives up: what the end of a run tells.
TEST(HooksTest, PendingCountsQueuedAndRunningHooksUntilTheyEnd) {
  e2e::TempDir dir;
  const std::string gate = (dir.path() / "gate").string();
  CmHooks hooks("while [ ! -e '" + gate + "' ]; do sleep 0.02; done", 30000);
  EXPECT_EQ(hooks.Pending(), 0u);
  EXPECT_TRUE(hooks.DrainWithin(0));
  hooks.Queue(Record(1, "ok", "RX1"), "{}\n");
  hooks.Queue(Record(2, "ok", "RX2"), "{}\n");
  EXPECT_EQ(hooks.Pending(), 2u);  // one running (or about to), one queued
  EXPECT_FALSE(hooks.DrainWithin(100));
  std::ofstream{gate};
  EXPECT_TRUE(hooks.DrainWithin(20000));
  EXPECT_EQ(hooks.Pending(), 0u);
  EXPECT_TRUE(hooks.TakeFailures().empty());
}

}  // namespace
