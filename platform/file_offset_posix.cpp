// 64-bit stream positions on POSIX: fseeko and ftello take an off_t.
#include <sys/types.h>

#include <limits>

#include "platform/file_offset.h"

namespace platform {

bool FileSeek(std::FILE* file, int64_t offset, int origin) {
  if (!file || offset > std::numeric_limits<off_t>::max() || offset < std::numeric_limits<off_t>::min()) return false;
  return ::fseeko(file, static_cast<off_t>(offset), origin) == 0;
}

int64_t FileTell(std::FILE* file) { return file ? static_cast<int64_t>(::ftello(file)) : -1; }

}  // namespace platform
