// Waiting for serial devices to come and go without spending anything while nothing happens.
// Wait says "something may have changed": the caller lists the devices again and compares. A
// device that goes and comes back between two listings is not missed: the watch keeps the
// removals it saw (TakeRemoved).
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace platform {

class DeviceWatch {
 public:
  // Starts watching at once: a change from here on makes the next Wait return.
  DeviceWatch();
  ~DeviceWatch();
  DeviceWatch(const DeviceWatch&) = delete;
  DeviceWatch& operator=(const DeviceWatch&) = delete;

  // Blocks until something may have changed, Wake was called or timeout_ms passed. True unless
  // the time ran out with nothing seen. Where the system cannot tell (no notifications), it
  // returns true at most four times a second: the caller's listing is the poll.
  bool Wait(int timeout_ms);
  // Makes a Wait of another thread (or the next one) return; safe from a stop handler.
  void Wake();
  // True when changes are found by listing at most four times a second instead of being told.
  bool Polling() const;
  // The devices seen going away since the last call (their names as PortDeviceName gives them:
  // the device node on Linux, "COM<n>" on Windows), in the order seen; seen by Wait.
  std::vector<std::string> TakeRemoved();

 private:
  struct Os;
  std::unique_ptr<Os> os_;
};

}  // namespace platform
