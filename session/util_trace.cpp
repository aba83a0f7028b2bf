#include "session/fwapp.h"

// The session and engines describe what they do here; nothing of it reaches the console.
void cmbs_util_Trace(int, const char*, ...) {}
