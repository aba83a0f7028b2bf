// The process's own environment variables (tests and benchmarks set the knobs they exercise).
#pragma once

#include <string>

namespace platform {

void SetEnvVar(const std::string& name, const std::string& value);
void UnsetEnvVar(const std::string& name);

}  // namespace platform
