#include "update/update_file.h"

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <system_error>

#include "platform/file_offset.h"

namespace {

std::FILE* Open(const char* path, const char* mode, int* error) {
  int dummy = 0;
  int& err = error ? *error : dummy;
  err = 0;
  if (!path) {
    err = EINVAL;
    return nullptr;
  }
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {  // a directory opens as a stream here, but is no file
    err = EISDIR;
    return nullptr;
  }
  errno = 0;
  std::FILE* file = std::fopen(path, mode);
  if (!file) err = errno ? errno : ENOENT;
  return file;
}

}  // namespace

std::FILE* cmUpdFileOpenRead(const char* path, int* error) { return Open(path, "rb", error); }

std::FILE* cmUpdFileOpenReadWrite(const char* path, int* error) { return Open(path, "r+b", error); }

bool cmUpdFileSize(std::FILE* file, uint64_t* size) {
  if (!file || !size || !platform::FileSeek(file, 0, SEEK_END)) return false;
  const int64_t end = platform::FileTell(file);
  const bool ok = end >= 0;
  if (ok) *size = static_cast<uint64_t>(end);
  return platform::FileSeek(file, 0, SEEK_SET) && ok;
}

bool cmUpdFileRewind(std::FILE* file) { return file && platform::FileSeek(file, 0, SEEK_SET); }

size_t cmUpdFileRead(std::FILE* file, uint8_t* buffer, size_t max, bool* failed) {
  if (failed) *failed = !file;
  if (!file || !buffer || max == 0) return 0;
  size_t n = std::fread(buffer, 1, max, file);
  if (n < max && std::ferror(file)) {
    if (failed) *failed = true;
    std::clearerr(file);
  }
  return n;
}

bool cmUpdFileWriteAt(std::FILE* file, uint64_t offset, const uint8_t* data, size_t count) {
  if (!file || offset > static_cast<uint64_t>(INT64_MAX)) return false;
  if (!platform::FileSeek(file, static_cast<int64_t>(offset), SEEK_SET)) return false;
  return std::fwrite(data, 1, count, file) == count && std::fflush(file) == 0;
}

bool cmUpdFileClose(std::FILE* file) { return !file || std::fclose(file) == 0; }
