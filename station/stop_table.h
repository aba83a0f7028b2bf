// What the stop requests of a run over many repeaters mean, in one place: requests come in (from
// the stop thread), the run asks what to do now (take new repeaters or not, how many stop
// requests each child still working should have had, what to tell the user).
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <string>

#include "platform/self.h"

class CmStopTable {
 public:
  // -watch: the first stop takes no new repeaters and waits for those working; only a second
  // deliberate stop (a signal) stops them. Losing the output only takes no new repeaters, and a
  // hang-up counts once however often it comes. A closed console stops the children at once: the
  // system ends every process a few seconds later. -all: any request stops the children.
  enum class Mode { kWatch, kAll };

  struct Actions {
    bool take_new = true;  // new repeaters may still be served
    int child_stops = 0;   // stop requests each child still working should have been passed
    bool output_lost = false;  // nobody reads standard output any more
  };

  explicit CmStopTable(Mode mode) : mode_(mode) {}
  CmStopTable(const CmStopTable&) = delete;
  CmStopTable& operator=(const CmStopTable&) = delete;

  // Notes a request, then wakes whoever waits for one. Safe from any thread.
  void Note(platform::StopRequest request);
  Actions Now() const;
  // The line that tells the user what `now` (an answer of Now) changes since the last call, with
  // the number of children still working; empty when there is nothing to tell.
  std::string Line(const Actions& now, size_t working);
  // -watch: the line for standard error the first time `now` has the output lost, with the number
  // of children still working (who ran the watch into `| tee` that died with a Ctrl-C still sees
  // standard error); empty otherwise.
  std::string LostLine(const Actions& now, size_t working);
  // Called after each request noted; an empty one for none. Once this returns, the one before
  // is neither running nor called again (what it wakes may then go away).
  void SetWake(std::function<void()> wake);

 private:

  const Mode mode_;
  mutable std::mutex mutex_;
  int signals_ = 0;  // deliberate stops: interrupts, terminates, and the first hang-up
  bool hung_up_ = false;
  bool output_lost_ = false;
  bool console_closed_ = false;
  int told_phase_ = 0;  // 0 taking new repeaters, 1 waiting for those working, 2 stopping them
  bool told_lost_ = false;
  std::function<void()> wake_;
};
