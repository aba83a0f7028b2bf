// The params console: get and set runs of bytes of the target's parameter area, one action
// after another, until "q".
#pragma once

#include <cstdint>

// Handler of the params command. Returns 0 when it did what was asked, -1 otherwise.
int cmParamConsole(uint8_t port);
