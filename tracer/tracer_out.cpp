#include "tracer/tracer_out.h"

#include <cstdarg>
#include <cstdio>

#include "platform/console_out.h"

// NOLINTNEXTLINE(cert-dcl50-cpp): the tracer prints its printf-style console texts through here
void cmTracerOut(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  platform::PrintTextV(stdout, format, args);
  va_end(args);
  std::fflush(stdout);
}
