// The stop table of a run over many repeaters: sequences of stop requests and what each leaves
// the run to do.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "station/stop_table.h"

namespace {

using R = platform::StopRequest;
using Mode = CmStopTable::Mode;

constexpr R kInt = R::kInterrupt, kTerm = R::kTerminate, kHup = R::kHangUp, kClosed = R::kConsoleClosed,
            kLost = R::kOutputLost;

const std::string kWaiting = "Stop requested: no new repeaters; waiting for the 2 still working (stop again to stop them)";
const std::string kStopping = "Stopping the 2 repeaters still working";
const std::string kGone =
    "halvern: standard output is gone: no new repeaters; waiting for the 2 still working (stop again to stop them)";
const std::string kGoneStopping = "halvern: standard output is gone; stopping the 2 repeaters still working";

TEST(StopTable, EachSequenceOfRequestsLeavesItsActionsAndLines) {
  const struct {
    const char* what;
    Mode mode;
    std::vector<R> requests;
    bool take_new;
    int child_stops;
    std::vector<std::string> lines;  // told after each request, two children working (stderr's: "halvern: ...")
  } cases[] = {
      {"nothing asked", Mode::kWatch, {}, true, 0, {}},
      {"Ctrl-C waits", Mode::kWatch, {kInt}, false, 0, {kWaiting}},
      {"a second Ctrl-C stops", Mode::kWatch, {kInt, kInt}, false, 1, {kWaiting, kStopping}},
      {"SIGTERM twice", Mode::kWatch, {kTerm, kTerm}, false, 1, {kWaiting, kStopping}},
      {"each further stop passed on", Mode::kWatch, {kInt, kInt, kTerm}, false, 2, {kWaiting, kStopping}},
      {"output lost alone", Mode::kWatch, {kLost}, false, 0, {kWaiting, kGone}},
      {"pipe reader dies, then Ctrl-C", Mode::kWatch, {kLost, kInt}, false, 0, {kWaiting, kGone}},
      {"Ctrl-C, then pipe reader dies", Mode::kWatch, {kInt, kLost}, false, 0, {kWaiting, kGone}},
      {"output lost twice", Mode::kWatch, {kLost, kLost}, false, 0, {kWaiting, kGone}},
      {"then a second Ctrl-C", Mode::kWatch, {kLost, kInt, kLost, kInt}, false, 1, {kWaiting, kGone, kStopping}},
      {"a lone hang-up waits", Mode::kWatch, {kHup}, false, 0, {kWaiting}},
      {"a terminal closed", Mode::kWatch, {kHup, kLost, kHup, kHup}, false, 0, {kWaiting, kGone}},
      {"lost after the second stop", Mode::kWatch, {kInt, kInt, kLost}, false, 1, {kWaiting, kStopping, kGoneStopping}},
      {"hang-up, then SIGTERM", Mode::kWatch, {kHup, kHup, kTerm}, false, 1, {kWaiting, kStopping}},
      {"console closed", Mode::kWatch, {kClosed}, false, 1, {kStopping}},
      {"Ctrl-C, then console closed", Mode::kWatch, {kInt, kClosed, kClosed}, false, 1, {kWaiting, kStopping}},
      {"-all: nothing asked", Mode::kAll, {}, true, 0, {}},
      {"-all: Ctrl-C", Mode::kAll, {kInt}, false, 1, {}},
      {"-all: output lost", Mode::kAll, {kLost}, false, 1, {}},
      {"-all: a terminal closed", Mode::kAll, {kHup, kLost, kHup}, false, 2, {}},
      {"-all: console closed", Mode::kAll, {kClosed}, false, 1, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CmStopTable table(c.mode);
    int wakes = 0;
    table.SetWake([&] { ++wakes; });
    std::vector<std::string> lines;
    for (R request : c.requests) {
      table.Note(request);
      const CmStopTable::Actions now = table.Now();
      for (const std::string& line : {table.Line(now, 2), table.LostLine(now, 2)})
        if (!line.empty()) lines.push_back(line);
    }
    const CmStopTable::Actions now = table.Now();
    EXPECT_EQ(now.take_new, c.take_new);
    EXPECT_EQ(now.child_stops, c.child_stops);
    EXPECT_EQ(lines, c.lines);
    EXPECT_EQ(wakes, static_cast<int>(c.requests.size()));
  }
}

TEST(StopTable, NothingIsToldWhenNoChildWorksNorTwice) {
  CmStopTable table(Mode::kWatch);
  table.Note(kInt);
  EXPECT_EQ(table.Line(table.Now(), 0), "");
  EXPECT_EQ(table.Line(table.Now(), 2), "");  // the first stop was seen already
  table.Note(kInt);
  EXPECT_EQ(table.Line(table.Now(), 1), "Stopping the 1 repeaters still working");
  EXPECT_EQ(table.Line(table.Now(), 1), "");
}

// The stop thread outlives what it wakes (the watch's device watch): once the wake is taken
// away, it is neither running nor called again, however the requests come.
TEST(StopTable, AWakeTakenAwayIsNeitherRunningNorCalledAgain) {
  for (int round = 0; round < 50; ++round) {
    CmStopTable table(Mode::kWatch);
    std::atomic<bool> inside{false}, taken_away{false}, noting{true};
    std::atomic<int> calls{0}, late{0};
    table.SetWake([&] {
      inside = true;
      if (taken_away) ++late;
      ++calls;
      std::this_thread::yield();
      inside = false;
    });
    std::thread stop_thread([&] {
      while (noting) table.Note(kHup);
    });
    while (calls == 0) std::this_thread::yield();
    table.SetWake({});
    taken_away = true;
    EXPECT_FALSE(inside);
    const int seen = calls;
    table.Note(kHup);
    noting = false;
    stop_thread.join();
    EXPECT_EQ(late, 0);
    EXPECT_EQ(calls, seen);
  }
}

}  // namespace
