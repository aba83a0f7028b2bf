#include "platform/std_streams.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>

namespace platform {

void SetStdoutBinary() {
  std::fflush(stdout);
  _setmode(_fileno(stdout), _O_BINARY);
}

void StdoutToStderr() {
  std::fflush(stdout);
  _dup2(_fileno(stderr), _fileno(stdout));
  ::SetStdHandle(STD_OUTPUT_HANDLE, ::GetStdHandle(STD_ERROR_HANDLE));
}

}  // namespace platform
