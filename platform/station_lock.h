// One watch per station: a lock named after the station that dies with the process holding it
// (POSIX: flock on a file in the runtime or temporary directory; Windows: a named mutex). The
// holder's process id is kept where a second process can read it.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

class StationLock {
 public:
  enum Outcome {
    kTaken,        // this process holds the station now
    kHeld,         // another process holds it (*holder: its process id, 0 when not known)
    kUnavailable,  // the lock itself could not be made (*why)
  };

  StationLock() = default;
  ~StationLock();
  StationLock(const StationLock&) = delete;
  StationLock& operator=(const StationLock&) = delete;

  // Tries once to take the lock named by key (any text); never waits for its holder.
  Outcome Take(const std::string& key, long* holder, std::string* why);

 private:
  intptr_t handle_ = -1;
  std::string path_;  // of what the holder keeps beside the lock, removed with it
};

// The lock's file-system and object name for key: "halvern-watch-" and 16 hexadecimal digits.
std::string StationLockName(const std::string& key);

}  // namespace platform
