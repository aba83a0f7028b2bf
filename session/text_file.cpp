#include "session/text_file.h"

#include <cerrno>

#include "platform/open_file.h"

#include "session/console_text.h"
#include "session/service_record.h"

namespace {

// Enough of the start to tell UTF-16 text from text that merely holds a NUL somewhere.
constexpr size_t kProbe = 64;

}  // namespace

bool cmTextIsUtf16(const unsigned char* start, size_t n) {
  if (n >= 2 && ((start[0] == 0xFF && start[1] == 0xFE) || (start[0] == 0xFE && start[1] == 0xFF))) return true;
  const size_t pairs = n / 2;
  if (pairs == 0) return false;
  bool low_nul = true, high_nul = true;  // little-endian: NULs at odd offsets; big-endian: at even
  for (size_t i = 0; i < pairs; ++i) {
    if (start[2 * i + 1] != 0) low_nul = false;
    if (start[2 * i] != 0) high_nul = false;
  }
  return low_nul != high_nul;  // a run of NULs alone is not text of either kind
}

std::FILE* cmTextFileOpen(const char* path, const char* mode, TEXT_OPEN_RESULT* result) {
  *result = TEXT_OPEN_FAILED;
  std::FILE* file = path ? platform::OpenFile(path, mode) : nullptr;
  if (!file) {
    if (!path) errno = EINVAL;
    return nullptr;
  }
  unsigned char start[kProbe];
  const size_t n = std::fread(start, 1, sizeof start, file);
  if (std::ferror(file)) {  // left to the caller's own read, which meets the same error
    std::rewind(file);
    *result = TEXT_OPEN_OK;
    return file;
  }
  if (cmTextIsUtf16(start, n)) {
    (void)std::fclose(file);  // read only
    *result = TEXT_OPEN_UTF16;
    return nullptr;
  }
  std::rewind(file);
  if (n >= 3 && start[0] == 0xEF && start[1] == 0xBB && start[2] == 0xBF)
    for (int i = 0; i < 3; ++i) (void)std::getc(file);
  *result = TEXT_OPEN_OK;
  return file;
}

std::string cmTextUtf16Refusal(const char* path) {
  return std::string("'") + (path ? path : "") + "' is UTF-16 text: save it as UTF-8 or ANSI";
}

void cmTellUtf16(const char* path) {
  cmReportSetReason(CM_REASON_FILE);
  cmTell("%s", cmTextUtf16Refusal(path).c_str());
}
