// Child programs read together and asked to stop: what -all builds on.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/child.h"

namespace {

using Clock = std::chrono::steady_clock;

TEST(ChildTest, OutputOfSeveralProgramsIsReadAsItComesFromEach) {
  platform::Child first, second;
  // The first writes once and then waits to be stopped; the second writes twice and ends.
  ASSERT_TRUE(first.Start({"/bin/sh", "-c", "echo one; exec sleep 30"}, {}));
  ASSERT_TRUE(second.Start({"/bin/sh", "-c", "echo two; echo err >&2; sleep 0.2; echo three"}, {}));
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while ((first.Out() != "one\n" || second.OutputOpen()) && Clock::now() < deadline)
    platform::Child::PumpAll({&first, &second}, 100);
  EXPECT_EQ(first.Out(), "one\n");
  EXPECT_TRUE(first.OutputOpen()) << "a program still running keeps its output open";
  EXPECT_EQ(second.Out(), "two\nthree\n");
  EXPECT_EQ(second.Err(), "err\n");
  EXPECT_EQ(second.Wait(5000), 0);
  EXPECT_GT(second.PeakRssKib(), 0);

  // A stop request ends the waiting program (here by the signal's default action).
  const auto asked = Clock::now();
  first.RequestStop();
  EXPECT_EQ(first.Wait(10000), 128 + 15);
  EXPECT_FALSE(first.TimedOut());
  EXPECT_LT(Clock::now() - asked, std::chrono::seconds(5));
}

TEST(ChildTest, ProgramStartsWithNoSignalHeldBack) {
  // -all holds back SIGINT and SIGTERM in every thread; its children must still hear them.
  sigset_t stops, before;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stops, &before);
  platform::Child child;
  const bool started = child.Start({"/bin/sh", "-c", "grep SigBlk /proc/self/status"}, {});
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  ASSERT_TRUE(started);
  EXPECT_EQ(child.Finish(5000), 0);
  EXPECT_EQ(child.Out(), "SigBlk:\t0000000000000000\n");
}

}  // namespace
