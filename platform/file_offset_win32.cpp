// 64-bit stream positions on Windows: the C runtime's _fseeki64 and _ftelli64.
#include <stdio.h>

#include "platform/file_offset.h"

namespace platform {

bool FileSeek(std::FILE* file, int64_t offset, int origin) { return file && ::_fseeki64(file, offset, origin) == 0; }

int64_t FileTell(std::FILE* file) { return file ? static_cast<int64_t>(::_ftelli64(file)) : -1; }

}  // namespace platform
