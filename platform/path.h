// File paths as this system writes them.
#pragma once

#include <string>

namespace platform {

// The characters that end a folder in a path: the file name is what follows the last of them.
const char* PathSeparators();
// The name in the folder dir, a separator between them where dir does not end in one (nor, on
// Windows, in a drive's colon); the name alone for an empty dir.
std::string JoinPath(const std::string& dir, const std::string& name);

}  // namespace platform
