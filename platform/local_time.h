// The local time of a moment, safe to ask from any thread: localtime keeps its result in one
// buffer that every thread shares.
#pragma once

#include <ctime>

namespace platform {

// false when the system cannot convert t.
bool LocalTime(std::time_t t, std::tm* out);

}  // namespace platform
