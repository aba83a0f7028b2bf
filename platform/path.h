// File paths as this system writes them.
#pragma once

namespace platform {

// The characters that end a folder in a path: the file name is what follows the last of them.
const char* PathSeparators();

}  // namespace platform
