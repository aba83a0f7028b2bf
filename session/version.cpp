#include "session/version.h"

#ifndef HALVERN_VERSION
#error "HALVERN_VERSION comes from the build (the project's version)"
#endif

const char* cmToolVersion() { return HALVERN_VERSION; }
