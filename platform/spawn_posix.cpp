#include "platform/spawn.h"

#include <stdlib.h>

#include "platform/child.h"

namespace platform {

SpawnResult SpawnCapture(const std::vector<std::string>& argv,
                         const std::vector<std::pair<std::string, std::string>>& env,
                         const std::string& stdin_data, int timeout_ms) {
  SpawnResult result;
  Child child;
  if (!child.Start(argv, env)) return result;
  child.Send(stdin_data);  // the inputs are a few keys and lines: the pipe takes them whole
  result.exit_status = child.Finish(timeout_ms);
  result.timed_out = child.TimedOut();
  result.out = child.Out();
  result.err = child.Err();
  return result;
}

// NOLINTNEXTLINE(concurrency-mt-unsafe): benchmark support, set before the link it drives starts
void SetEnv(const std::string& name, const std::string& value) { ::setenv(name.c_str(), value.c_str(), 1); }

}  // namespace platform
