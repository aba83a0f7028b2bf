// Paths for the Win32 wide-character calls (Windows back end only).
#pragma once

#include <string>

namespace platform {

// The path in UTF-16, from the program's ANSI code page (UTF-8, from its manifest). A path too
// long for the classic limit of 260 characters is made absolute and given the \\?\ prefix
// (\\?\UNC\ for a share), which lifts the limit whatever the system's LongPathsEnabled says;
// that form takes backslashes only, so slashes are turned into them.
std::wstring WidePath(const std::string& path);

}  // namespace platform
