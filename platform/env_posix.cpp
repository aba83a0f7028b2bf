#include "platform/env.h"

#include <cstdlib>

namespace platform {

void SetEnvVar(const std::string& name, const std::string& value) { ::setenv(name.c_str(), value.c_str(), 1); }
void UnsetEnvVar(const std::string& name) { ::unsetenv(name.c_str()); }

}  // namespace platform
