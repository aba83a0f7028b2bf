#include "platform/open_file.h"

#include <cstdio>
#include <cstring>

#include "platform/wide_path_win32.h"

namespace platform {

std::FILE* OpenFile(const std::string& path, const char* mode) {
  std::wstring wide_mode(mode, mode + std::strlen(mode));  // the modes are ASCII
  return ::_wfopen(WidePath(path).c_str(), wide_mode.c_str());
}

}  // namespace platform
