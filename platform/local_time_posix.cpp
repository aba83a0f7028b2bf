#include <time.h>

#include "platform/local_time.h"

namespace platform {

bool LocalTime(std::time_t t, std::tm* out) { return ::localtime_r(&t, out) != nullptr; }

std::string CTimeText(std::time_t t) {
  char text[64];  // ctime_r needs 26 bytes
  // cppcheck-suppress ctime_rCalled ; ctime's own text is what the console and log file show
  return ::ctime_r(&t, text) ? text : "";
}

}  // namespace platform
