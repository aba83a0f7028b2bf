#include "update/update_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/file_io.h"
#include "platform/file_offset.h"
#include "platform/open_file.h"
#include "session/service_record.h"

namespace {

std::FILE* Open(const char* path, const char* mode, int* error) {
  int dummy = 0;
  int& err = error ? *error : dummy;
  err = 0;
  if (!path) {
    err = EINVAL;
    return nullptr;
  }
  if (platform::IsDirectory(path)) {  // a directory opens as a stream here, but is no file
    err = EISDIR;
    return nullptr;
  }
  errno = 0;
  std::FILE* file = platform::OpenFile(path, mode);
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

namespace {

struct Image {
  std::vector<uint8_t> bytes;
  size_t next = 0;
  bool failed = false;  // the file's read failed after the bytes kept
  int error = 0;        // errno of that read
};
Image g_image;

}  // namespace

void cmUpdImageLoad(std::FILE* file) {
  g_image = Image{};
  if (!file) {
    g_image.failed = true;
    return;
  }
  cmUpdFileRewind(file);
  uint8_t block[64 * 1024];
  for (;;) {
    bool failed = false;
    errno = 0;
    const size_t n = cmUpdFileRead(file, block, sizeof block, &failed);
    g_image.bytes.insert(g_image.bytes.end(), block, block + n);
    if (failed) {
      g_image.failed = true;
      g_image.error = errno;
      break;
    }
    if (n < sizeof block) break;
  }
  cmReportSetSent(g_image.bytes.data(), g_image.bytes.size());
}

uint64_t cmUpdImageSize() { return g_image.bytes.size(); }

bool cmUpdImageWhole() { return !g_image.failed; }

size_t cmUpdImageRead(uint8_t* buffer, size_t max, bool* failed) {
  const size_t n = std::min(max, g_image.bytes.size() - g_image.next);
  if (n > 0 && buffer) std::memcpy(buffer, g_image.bytes.data() + g_image.next, n);
  g_image.next += n;
  const bool at_failure = n < max && g_image.failed;
  if (at_failure) errno = g_image.error;
  if (failed) *failed = at_failure;
  return n;
}
