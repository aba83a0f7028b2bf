// The protocol layer's debugger channel. Off unless the platform enables it
// (on Linux: the environment variable HALVERN_DEBUG is set; output goes to standard error).
#pragma once

namespace platform {

void DebugOutput(const char* text);

}  // namespace platform
