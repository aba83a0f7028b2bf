// A file that several processes append whole lines to: each line goes out under the file's
// exclusive lock in one write, so lines of different writers never interleave or tear.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

class SharedAppendFile {
 public:
  SharedAppendFile() = default;
  ~SharedAppendFile();
  SharedAppendFile(const SharedAppendFile&) = delete;
  SharedAppendFile& operator=(const SharedAppendFile&) = delete;

  // Opens the file for appending (created when missing) and tries its lock once, so that a
  // file that cannot be locked is known before anything is done. False with the reason in words.
  bool Open(const std::string& path, std::string* reason);
  // Takes the lock (waiting at most a few seconds for another writer), writes text at the end
  // of the file in one write, releases the lock. False with the reason in words.
  bool Append(const std::string& text, std::string* reason);
  bool IsOpen() const { return handle_ != -1; }
  void Close();

 private:
  intptr_t handle_ = -1;
};

// This computer's name, as the network knows it; empty when it cannot be had.
std::string HostName();

}  // namespace platform
