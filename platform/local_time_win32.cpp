#include <time.h>

#include "platform/local_time.h"

namespace platform {

bool LocalTime(std::time_t t, std::tm* out) { return ::localtime_s(out, &t) == 0; }

}  // namespace platform
