// -all: one command on every attached repeater at once, one child process per repeater.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "session/options.h"
#include "session/comport_find.h"
#include "station/station_board.h"
#include "station/stop_table.h"

// True for the commands that may run on every repeater (the consoles and date2pill may not).
bool cmAllSupports(int command);
// -report with -all: opens the report file of every repeater (its path with {serial} and {port}
// filled in) before any child starts, to know it can be written; each record opens it again.
// False after "halvern: cannot open report file" on stderr.
bool cmAllOpenReports(const ST_OPTIONS& options, const std::vector<ST_REPEATER>& found);
// Runs argv once on each of the found repeaters, all at the same time; shows each one's output as
// a block when it ends and a summary table at the end. Returns 0 when every repeater did what was
// asked, 1 otherwise.
int cmAllRun(int argc, const char* const* argv, const ST_OPTIONS& options, const std::vector<ST_REPEATER>& found);
// The outcome of one repeater's last service in a run.
struct CM_UNIT_OUTCOME {
  std::string name;    // serial number, or "COMn" for a repeater without one
  std::string result;  // the record's result word
  std::string reason;  // the record's reason, empty when none
};
// The one line that ends a run over several repeaters, e.g.
// "20 repeaters: 18 ok, 1 failed (RX5120-0010: not_back), 1 disconnected (COM11)".
std::string cmAllTotalsLine(const std::vector<CM_UNIT_OUTCOME>& units);
// What param_get's output file of the repeater with this tag would be called, whatever its
// version, as a case-blind file system compares names.
std::string cmAllOutputKey(const ST_OPTIONS& o, const ST_REPEATER& r, const std::string& tag);
// Stop requests (and losing the terminal or whoever reads the output) are noted in table from
// now on; it must live as long as the process (the stop thread does).
void cmAllCatchStops(CmStopTable* table);

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
  // attempt: its services in this run so far, this one included; unit: who the repeater is, the
  // same for each of its services (empty: a repeater of its own).
  size_t Start(const ST_REPEATER& repeater, const std::string* tag, int attempt = 1, const std::string& unit = "");
  // -http: binds the page and serves it from now on (attempts: the most services a repeater
  // gets); false after "halvern: ..." on standard error. Without -http it does nothing.
  bool ServePage(int attempts);
  // The page's board, null without -http.
  CmBoard* Board();
  // Shows the block of each run not shown yet whose child could not be started.
  void ShowUnstarted();
  size_t Running() const;
  // Reads the children's output for at most timeout_ms, passes on stop requests until each child
  // has had `stops` of them (a child not ended 30 s after the first is killed), shows the block of
  // each child that ended and the live lines. Returns the numbers of the runs that ended.
  std::vector<size_t> Pump(int timeout_ms, int stops);
  // Takes the live lines off the screen (before a line of the caller's own).
  void ClearLive();
  // Shows the -ondone hooks' failures since the last look (Pump does too).
  void ShowHookFailures();
  bool Started(size_t run) const;
  bool Succeeded(size_t run) const;
  const char* Result(size_t run) const;  // "ok", "failed", "interrupted", "disconnected" or "skipped"
  // True when the child said it sent its repeater a restart request.
  bool RestartRequested(size_t run) const;
  // True when the run's child left its parent a note with this word (session/parent_notes.h).
  bool Noted(size_t run, const std::string& word) const;
  double Seconds(size_t run) const;
  // The summary table and the totals line, then waits for the -ondone hooks still queued. Each
  // record is written as its child ends (or when it could not start), and its hook queued;
  // false when a record could not be written.
  bool Finish();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The live lines as a terminal of columns by rows shows them: each cut to fit in one row, or the
// one line total instead when they would not all fit above the cursor's row.
std::vector<std::string> cmAllLiveLines(const std::vector<std::string>& lines, const std::string& total, int columns,
                                        int rows);
