// Positions in C streams as 64-bit numbers. fseek and ftell take a long, which has 32 bits on
// Windows: a file of 2 GiB or more would be refused or mis-sized through them.
#pragma once

#include <cstdint>
#include <cstdio>

namespace platform {

// Moves the position to offset bytes from origin (SEEK_SET, SEEK_CUR or SEEK_END); false on failure.
bool FileSeek(std::FILE* file, int64_t offset, int origin);
// The current position, or -1 when it cannot be had.
int64_t FileTell(std::FILE* file);

}  // namespace platform
