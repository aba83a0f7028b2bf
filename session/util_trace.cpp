#include "session/fwapp.h"

// The session and engines describe what they do here; nothing of it reaches the console.
// NOLINTNEXTLINE(cert-dcl50-cpp): the protocol's printf-style trace hook
void cmbs_util_Trace(int, const char*, ...) {}
