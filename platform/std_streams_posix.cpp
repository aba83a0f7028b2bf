#include "platform/std_streams.h"

namespace platform {

// Standard output carries bytes unchanged on this system.
void SetStdoutBinary() {}

}  // namespace platform
