#include "platform/std_streams.h"

#include <unistd.h>

#include <cstdio>

namespace platform {

// Standard output carries bytes unchanged on this system.
void SetStdoutBinary() {}

void StdoutToStderr() {
  std::fflush(stdout);
  ::dup2(STDERR_FILENO, STDOUT_FILENO);
}

}  // namespace platform
