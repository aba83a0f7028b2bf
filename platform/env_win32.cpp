#include "platform/env.h"

#include <cstdlib>

namespace platform {

void SetEnvVar(const std::string& name, const std::string& value) { _putenv_s(name.c_str(), value.c_str()); }
// An empty value removes the variable from the C runtime's environment.
void UnsetEnvVar(const std::string& name) { _putenv_s(name.c_str(), ""); }

}  // namespace platform
