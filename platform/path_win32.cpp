#include "platform/path.h"

namespace platform {

// Both are taken, "\" being the system's own.
const char* PathSeparators() { return "/\\"; }

}  // namespace platform
