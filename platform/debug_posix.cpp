#include "platform/debug.h"

#include <cstdio>
#include <cstdlib>

namespace platform {

void DebugOutput(const char* text) {
  static const bool enabled = std::getenv("HALVERN_DEBUG") != nullptr;
  if (enabled && text) std::fputs(text, stderr);
}

}  // namespace platform
