// Log console and tracer: not yet in this build; the commands report failure.
#include "app/commands.h"

int cmLogRun(uint8_t, const char*, int) { return -1; }
int cmTracerRun(uint8_t, const char*) { return -1; }
