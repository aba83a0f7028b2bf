#include "tracer/tracer_out.h"

#include <cstdarg>
#include <cstdio>

void cmTracerOut(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
}
