// -all: one command on every attached repeater at once, one child process per repeater.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "session/options.h"
#include "session/comport_find.h"

// True for the commands that may run on every repeater (the consoles and date2pill may not).
bool cmAllSupports(int command);
// -report with -all: opens the report file of every repeater (its path with {serial} and {port}
// filled in) before any child starts. False after "halvern: cannot open report file" on stderr.
bool cmAllOpenReports(const ST_OPTIONS& options, const std::vector<ST_REPEATER>& found);
// Runs argv once on each of the found repeaters, all at the same time; shows each one's output as
// a block when it ends and a summary table at the end. Returns 0 when every repeater did what was
// asked, 1 otherwise.
int cmAllRun(int argc, const char* const* argv, const ST_OPTIONS& options, const std::vector<ST_REPEATER>& found);
// Stop requests (and losing the terminal or whoever reads the output) call on_stop from now on.
void cmAllCatchStops(std::function<void()> on_stop);

// The children of a run over several repeaters, one per repeater served: started one by one,
// read together, each one's output shown as a block when it ends, the live lines of those still
// working below, and a summary table at the end.
class CmChildRuns {
 public:
  CmChildRuns(int argc, const char* const* argv, const ST_OPTIONS& options);
  ~CmChildRuns();
  CmChildRuns(const CmChildRuns&) = delete;
  CmChildRuns& operator=(const CmChildRuns&) = delete;

  // Starts the child that serves the repeater (tag: param_get's output tag, null for none).
  // Returns the run's number, counted from 0 in the order of starting.
  size_t Start(const ST_REPEATER& repeater, const std::string* tag);
  // Shows the block of each run not shown yet whose child could not be started.
  void ShowUnstarted();
  size_t Running() const;
  // Reads the children's output for at most timeout_ms, passes on stop requests until each child
  // has had `stops` of them (a child not ended 30 s after the first is killed), shows the block of
  // each child that ended and the live lines. Returns the numbers of the runs that ended.
  std::vector<size_t> Pump(int timeout_ms, int stops);
  // Takes the live lines off the screen (before a line of the caller's own).
  void ClearLive();
  bool Started(size_t run) const;
  bool Succeeded(size_t run) const;
  // True when the run's child left its parent a note with this word (session/parent_notes.h).
  bool Noted(size_t run, const std::string& word) const;
  const char* Result(size_t run) const;  // "ok", "failed", "interrupted" or "disconnected"
  double Seconds(size_t run) const;
  // The summary table, then the records the children could not write. False when one of those
  // could not be written.
  bool Finish();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The live lines as a terminal of columns by rows shows them: each cut to fit in one row, or the
// one line total instead when they would not all fit above the cursor's row.
std::vector<std::string> cmAllLiveLines(const std::vector<std::string>& lines, const std::string& total, int columns,
                                        int rows);
