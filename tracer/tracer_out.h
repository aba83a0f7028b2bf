// Console output of the log and tracer consoles. Each call is written out at once: lines come
// from the receive thread while the console waits for a key, and must not sit in a buffer.
#pragma once

#if defined(__GNUC__)
#define TRACER_PRINTF_FORMAT __attribute__((format(printf, 1, 2)))
#else
#define TRACER_PRINTF_FORMAT
#endif

void cmTracerOut(const char* format, ...) TRACER_PRINTF_FORMAT;
