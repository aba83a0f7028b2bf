#include "platform/path.h"

namespace platform {

const char* PathSeparators() { return "/"; }

}  // namespace platform
