// date2pill: writes a date and a language number into a PILL file on disk, four bytes at
// offset 28 (day, month, year within the century, language); no other byte is touched.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "session/console_text.h"
#include "platform/console_out.h"
#include "session/service_record.h"
#include "update/fwup.h"
#include "update/update_file.h"

namespace {

constexpr size_t kDateLength = 6;  // YYMMDD

// A two-character group read as atoi reads it: leading blanks and a sign, digits up to the first other character.
// Two characters cannot overflow, and no digits reads as 0 as intended.
int Group(const char* at) {
  const char text[3] = {at[0], at[1], '\0'};
  return static_cast<int>(std::strtol(text, nullptr, 10));
}

}  // namespace

int cmPillDateParse(const char* date, uint8_t stamp[PILL_STAMP_SIZE]) {
  if (!date || std::strlen(date) != kDateLength) {
    std::printf("Missing or invalid PILL date!\n");
    return 0;
  }
  std::memset(stamp, 0, PILL_STAMP_SIZE);
  const int year = Group(date);
  if (year < 20) {
    std::printf("Invalid PILL year!\n");
    return 0;
  }
  stamp[2] = static_cast<uint8_t>(year);
  const int month = Group(date + 2);
  if (month < 1 || month > 12) {
    std::printf("Invalid PILL month!\n");
    return 0;
  }
  stamp[1] = static_cast<uint8_t>(month);
  const int day = Group(date + 4);
  if (day < 1 || day > 31) {
    std::printf("Invalid PILL day!\n");
    return 0;
  }
  stamp[0] = static_cast<uint8_t>(day);
  return 1;
}

int cmPillDateStamp(const char* date, const char* pill_path, uint8_t language) {
  uint8_t stamp[PILL_STAMP_SIZE];
  if (!cmPillDateParse(date, stamp)) {
    std::printf("Invalid PILL date!\n");
    cmPrintUsage();
    return -1;
  }
  int error = 0;
  std::FILE* file = cmUpdFileOpenReadWrite(pill_path, &error);
  if (!file) {
    platform::PrintText(stdout, "Couldn't open PILL file '%s'\n", pill_path ? pill_path : "");
    cmTellCannotOpen(pill_path, error);
    return -1;
  }
  // A file that ends before the stamp is no PILL file: writing there would lengthen it.
  uint64_t size = 0;
  if (!cmUpdFileSize(file, &size) || size < PILL_STAMP_OFFSET + PILL_STAMP_SIZE) {
    cmUpdFileClose(file);
    cmReportSetReason(CM_REASON_FILE);
    cmTell("PILL file '%s' is too short for the date stamp (%d bytes needed)", pill_path,
           static_cast<int>(PILL_STAMP_OFFSET + PILL_STAMP_SIZE));
    return -1;
  }
  stamp[3] = language;
  errno = 0;
  const bool written = cmUpdFileWriteAt(file, PILL_STAMP_OFFSET, stamp, PILL_STAMP_SIZE);
  error = written ? 0 : errno;
  errno = 0;
  const bool closed = cmUpdFileClose(file);
  if (!closed && error == 0) error = errno;
  if (!closed || !written) {
    cmTellCannotWrite(pill_path, error);
    return -1;
  }
  return 0;
}
