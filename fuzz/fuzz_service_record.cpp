// Treats the input as a record line a child of -all or -watch sent its parent: reads it and,
// when it is taken, checks that writing it out and reading that back gives the same line.
#include <cstddef>
#include <cstdint>
#include <string>

#include "session/service_record.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  const std::string line(reinterpret_cast<const char*>(data), size);
  ST_SERVICE_RECORD record;
  if (!cmServiceRecordParse(line, &record)) return 0;
  const std::string written = cmServiceRecordLine(record);
  ST_SERVICE_RECORD again;
  Check(cmServiceRecordParse(written, &again));
  Check(cmServiceRecordLine(again) == written);
  return 0;
}
