#include "platform/env.h"

#include <cstdlib>

namespace platform {

// Test support: the tests set the environment before they start the threads that read it.
// NOLINTNEXTLINE(concurrency-mt-unsafe): no other thread reads the environment meanwhile
void SetEnvVar(const std::string& name, const std::string& value) { ::setenv(name.c_str(), value.c_str(), 1); }
// NOLINTNEXTLINE(concurrency-mt-unsafe): as above
void UnsetEnvVar(const std::string& name) { ::unsetenv(name.c_str()); }

}  // namespace platform
