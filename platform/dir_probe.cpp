#include "platform/dir_probe.h"

#include <filesystem>
#include <random>

#include "platform/file_io.h"

namespace platform {

bool DirTakesFiles(const std::string& dir, std::string* reason) {
  std::error_code ec;
  if (!std::filesystem::is_directory(dir, ec)) {
    *reason = "not a directory";
    return false;
  }
  // A name no file of the tool has and no other run's try takes, removed at once.
  std::random_device random;
  const std::string probe =
      (std::filesystem::path(dir) / (".halvern-write-test-" + std::to_string(random()))).string();
  {
    OutputFile file;
    int error = 0;
    if (!file.Create(probe, &error)) {
      *reason = FileErrorText(error);
      return false;
    }
  }
  std::filesystem::remove(probe, ec);
  return true;
}

}  // namespace platform
