// The local time of a moment, safe to ask from any thread: localtime and ctime keep their result
// in one buffer that every thread shares.
#pragma once

#include <ctime>
#include <string>

namespace platform {

// false when the system cannot convert t.
bool LocalTime(std::time_t t, std::tm* out);

// ctime's text of t, as this system's C library writes it ("Mon Dec  7 17:37:42 2026\n"; the
// Windows runtime writes the day as "07"); empty when the system cannot convert t.
std::string CTimeText(std::time_t t);

}  // namespace platform
