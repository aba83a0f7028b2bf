// Waitable events: the synchronisation primitive of the link and the commands.
// An auto-reset event releases one wait per Set; a manual-reset event stays set
// until Reset. The name is kept for diagnostics only: events are private to the process.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

class Event {
 public:
  Event(std::string name, bool manual_reset);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  // Waits at most timeout_ms milliseconds. Returns true when the event was signalled, false on timeout.
  bool Wait(uint32_t timeout_ms);
  const std::string& Name() const { return name_; }

 private:
  struct Impl;
  std::string name_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
