// The protocol layer's debugger channel on Windows: always on, read by a debugger or a
// debug-output viewer; nothing reaches the console.
#include "platform/debug.h"

#include <windows.h>

namespace platform {

void DebugOutput(const char* text) {
  if (text) ::OutputDebugStringA(text);
}

}  // namespace platform
