// Pseudo-terminals, raw byte I/O on descriptors and a few file-system helpers:
// the operating-system side of the simulated target and its fake device tree.
//
// Descriptors are plain ints; -1 means "none". Every function is thread-safe in
// the sense of the underlying system calls: one descriptor may be read on one
// thread while another thread writes it, but it must not be closed while in use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// Both ends of a pseudo-terminal. The master is non-blocking; the slave is set
// raw (no echo, no line discipline processing) at 115200 baud. Both are close-on-exec.
struct PtyPair {
  int master = -1;
  int slave = -1;
  std::string slave_path;  // the device node, e.g. /dev/pts/7
};

// Creates a pseudo-terminal pair. On failure returns false and a readable reason in *error.
bool PtyOpen(PtyPair* pair, std::string* error);

// Opens a terminal device node for reading and writing (non-blocking, not as
// controlling terminal, close-on-exec) and sets it raw at 115200 baud.
// Returns the descriptor or -1 with a reason in *error.
int TtyOpen(const std::string& path, std::string* error);

// Result of FdRead beyond a positive byte count.
constexpr long kReadTimeout = 0;
constexpr long kReadClosed = -1;  // error or hang-up: the other side is gone

// Waits at most timeout_ms for data, then reads what is there (up to cap bytes).
// Returns the number of bytes read, kReadTimeout or kReadClosed.
long FdRead(int fd, uint8_t* buf, size_t cap, int timeout_ms);

// Writes what the descriptor takes of the n bytes, waiting at most timeout_ms for
// room when it takes nothing at once. Returns the bytes written (0 when the wait
// ran out) or -1 on an error or hang-up.
long FdWrite(int fd, const uint8_t* data, size_t n, int timeout_ms);

// Writes all n bytes, waiting at most timeout_ms whenever the descriptor cannot
// take more. False on an error or when the wait ran out (part may have been written).
bool FdWriteAll(int fd, const uint8_t* data, size_t n, int timeout_ms);

// Writes filler bytes to fd until it takes no more, never waiting. Returns the bytes written.
// On a pseudo-terminal's slave nobody reads from the master then: its writers have to wait.
size_t FdFill(int fd);

// Closes fd when it is not -1.
void FdClose(int fd);

// Creates dir and its missing parents. The directories it created itself are
// appended to *created (outermost first) when created is given.
bool MakeDirs(const std::string& dir, std::vector<std::string>* created, std::string* error);

// Creates or replaces the file path with the one line `line` followed by a newline.
bool WriteLineFile(const std::string& path, const std::string& line, std::string* error);

// Creates (or replaces) the symbolic link `link` pointing at `target` (kept as written).
bool MakeSymlink(const std::string& target, const std::string& link, std::string* error);

// Removes a file, a symbolic link or an empty directory; false when it could not.
bool RemovePath(const std::string& path);

// Opens the named pipe path for reading (made first when missing; *created then says so)
// without waiting for a writer: writers may come and go, and their lines are read as they
// come. Returns the descriptor (non-blocking, close-on-exec) or -1 with a reason in *error.
int FifoOpenForReading(const std::string& path, bool* created, std::string* error);

// Reads the target of a symbolic link; empty when path is not one.
std::string ReadSymlink(const std::string& path);

}  // namespace platform
