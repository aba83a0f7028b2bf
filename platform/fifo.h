// The capture pipe a packet viewer reads from: a named pipe (fifo) on POSIX, a named pipe
// (\\.\pipe\...) on Windows, or a plain file. Written by one thread at a time.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

class FifoWriter {
 public:
  FifoWriter() = default;
  ~FifoWriter();
  FifoWriter(const FifoWriter&) = delete;
  FifoWriter& operator=(const FifoWriter&) = delete;

  // Opens an existing pipe (waiting for its reader, as opening a fifo does) or creates a file.
  // On failure error says why.
  bool Open(const std::string& path, std::string* error);
  // Writes all n bytes, waiting while the pipe is full; false once the reader has gone (or on
  // any other write error).
  bool Write(const void* data, size_t n);
  // Writes what the pipe takes now without waiting (possibly nothing; on Windows always
  // nothing) and returns the bytes written. May run beside ReaderGone, never beside Write.
  size_t TryWrite(const void* data, size_t n);
  // True when the reader is known to have closed its end, even with nothing written lately.
  bool ReaderGone();
  void Close();
  bool IsOpen() const;

 private:
  struct Os;
  Os* os_ = nullptr;
};

}  // namespace platform
