#include "platform/path.h"

namespace platform {

// Both are taken, "\" being the system's own.
const char* PathSeparators() { return "/\\"; }

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  return std::string("/\\:").find(dir.back()) == std::string::npos ? dir + '\\' + name : dir + name;
}

}  // namespace platform
