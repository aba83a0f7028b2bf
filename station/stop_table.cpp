#include "station/stop_table.h"

#include <algorithm>
#include <utility>

void CmStopTable::Note(platform::StopRequest request) {
  std::lock_guard lock(mutex_);
  switch (request) {
    case platform::StopRequest::kInterrupt:
    case platform::StopRequest::kTerminate:
      ++signals_;
      break;
    case platform::StopRequest::kHangUp:
      // Closing a terminal may deliver it more than once: one action of the user, one stop.
      if (!hung_up_) ++signals_;
      hung_up_ = true;
      break;
    case platform::StopRequest::kConsoleClosed:
      console_closed_ = true;
      break;
    case platform::StopRequest::kOutputLost:
      output_lost_ = true;
      break;
  }
  if (wake_) wake_();  // under the lock: SetWake cannot take it away while it runs
}

CmStopTable::Actions CmStopTable::Now() const {
  std::lock_guard lock(mutex_);
  Actions a;
  a.output_lost = output_lost_;
  if (mode_ == Mode::kAll) {
    // Every request is passed on: nobody is left to watch the children.
    const int requests = signals_ + (output_lost_ ? 1 : 0) + (console_closed_ ? 1 : 0);
    a.take_new = requests == 0;
    a.child_stops = requests;
    return a;
  }
  a.take_new = signals_ == 0 && !output_lost_ && !console_closed_;
  // The output going away is never a request of its own to stop a child mid-flash; only a
  // second signal is. A closed console leaves seconds: the children stop after their frame.
  a.child_stops = std::max(signals_ - 1, 0);
  if (console_closed_) a.child_stops = std::max(a.child_stops, 1);
  return a;
}

std::string CmStopTable::Line(const Actions& now, size_t working) {
  std::lock_guard lock(mutex_);
  const int phase = now.child_stops > 0 ? 2 : now.take_new ? 0 : 1;
  if (mode_ == Mode::kAll || phase <= told_phase_) return "";
  const int told = std::exchange(told_phase_, phase);
  if (working == 0) return "";
  if (told == 0 && phase == 1)
    return "Stop requested: no new repeaters; waiting for the " + std::to_string(working) +
           " still working (stop again to stop them)";
  if (phase == 2) return "Stopping the " + std::to_string(working) + " repeaters still working";
  return "";
}

std::string CmStopTable::LostLine(const Actions& now, size_t working) {
  std::lock_guard lock(mutex_);
  if (mode_ == Mode::kAll || !now.output_lost || std::exchange(told_lost_, true)) return "";
  const std::string n = std::to_string(working);
  if (working == 0) return "halvern: standard output is gone: no new repeaters";
  if (now.child_stops > 0) return "halvern: standard output is gone; stopping the " + n + " repeaters still working";
  return "halvern: standard output is gone: no new repeaters; waiting for the " + n +
         " still working (stop again to stop them)";
}

void CmStopTable::SetWake(std::function<void()> wake) {
  std::lock_guard lock(mutex_);
  wake_ = std::move(wake);
}
