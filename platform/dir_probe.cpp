#include "platform/dir_probe.h"

#include <random>

#include "platform/file_io.h"
#include "platform/path.h"

namespace platform {

bool DirTakesFiles(const std::string& dir, std::string* reason) {
  if (!IsDirectory(dir)) {
    *reason = "not a directory";
    return false;
  }
  // A name no file of the tool has and no other run's try takes, removed at once.
  std::random_device random;
  const std::string probe = JoinPath(dir, ".halvern-write-test-" + std::to_string(random()));
  {
    OutputFile file;
    int error = 0;
    if (!file.Create(probe, &error)) {
      *reason = FileErrorText(error);
      return false;
    }
  }
  RemoveFile(probe);
  return true;
}

}  // namespace platform
