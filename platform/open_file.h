// Opening a file by a name the user gave, or one made from it, whatever its script or length.
#pragma once

#include <cstdio>
#include <string>

namespace platform {

// As fopen, with its modes, its result and errno on failure. Windows is given the name in
// UTF-16 (from the program's UTF-8), with the \\?\ prefix when it is too long for the classic
// limit, so that neither the code page nor the length stand in the way.
std::FILE* OpenFile(const std::string& path, const char* mode);

}  // namespace platform
