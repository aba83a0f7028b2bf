// Parameter console and settings files: not yet in this build; the commands report failure.
#include "app/commands.h"

int cmParamConsole(uint8_t) { return -1; }
int cmParamFileRun(uint8_t, const char*, int) { return -1; }
