#include "platform/std_streams.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>

namespace platform {

void SetStdoutBinary() {
  std::fflush(stdout);
  _setmode(_fileno(stdout), _O_BINARY);
}

}  // namespace platform
