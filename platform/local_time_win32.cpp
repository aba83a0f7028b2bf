#include <time.h>

#include "platform/local_time.h"

namespace platform {

bool LocalTime(std::time_t t, std::tm* out) { return ::localtime_s(out, &t) == 0; }

std::string CTimeText(std::time_t t) {
  char text[64];  // ctime_s needs 26 bytes
  return ::ctime_s(text, sizeof text, &t) == 0 ? text : "";
}

}  // namespace platform
