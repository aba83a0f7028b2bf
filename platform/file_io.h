// Files the tracer needs beyond the standard streams: a file written with one system call
// per record and nothing buffered, the modification time and the identity of a file, and
// where the message-ID name file lies by default.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace platform {

// A file opened for writing only. Each Write goes to the system in one call, so what was
// written is in the file at once. Not thread-safe: callers serialise Write and Close.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates the file (replacing one of the same name), write access, shared with readers but
  // not with other writers where the system can refuse them. A file another holder has open is
  // refused and left as it was: it is emptied only once it is held. False with the system's
  // error code in *error.
  bool Create(const std::string& path, int* error);
  // Writes n bytes; returns the bytes that reached the file (n, fewer on an error).
  size_t Write(const void* data, size_t n);
  void Close();
  bool IsOpen() const { return handle_ >= 0; }

 private:
  intptr_t handle_ = -1;
};

// Opens a text file for writing as fopen's "w" does (created when missing, emptied when it
// exists), except that a file another writer holds is refused and left untouched: the file is
// emptied only once this process holds it. Readers may still open it. Null with the system's
// error code in *error.
std::FILE* CreateHeldTextFile(const std::string& path, int* error);

// The system's text for an error code that OutputFile::Create or CreateHeldTextFile gave.
std::string FileErrorText(int error);

// The file's last modification time in seconds, as the file system reports it.
// False when the file's status cannot be had (it does not exist).
bool FileModifiedTime(const std::string& path, int64_t* seconds);

// Whether the name leads to a folder, to anything at all; removes a file by its name (false when
// it could not). On Windows the name goes to the system in UTF-16, as OpenFile gives it.
bool IsDirectory(const std::string& path);
bool PathExists(const std::string& path);
bool RemoveFile(const std::string& path);
// The size of the file in bytes; false when it cannot be looked at.
bool FileSize(const std::string& path, uint64_t* size);
// Makes the folder and those above it that are missing; true when the folder is there after.
// False with the system's reason otherwise.
bool CreateDirectories(const std::string& path, std::string* reason);

// Which file a name or an open stream leads to: the same two values mean the same file, even
// when its name, size and content have changed (the volume and the file's number on it).
struct FileIdentity {
  uint64_t volume = 0;
  uint64_t index = 0;
  bool operator==(const FileIdentity&) const = default;
};
// False when the file cannot be looked at (the name leads nowhere).
bool PathIdentity(const std::string& path, FileIdentity* id);
bool StreamIdentity(std::FILE* file, FileIdentity* id);

// The fixed place of the message-ID name file on this system.
const char* DefaultMidFilePath();

}  // namespace platform
