// Whether a folder takes new files, found out before a run relies on it.
#pragma once

#include <string>

namespace platform {

// True when dir is a folder in which a file can be created: one with a name no other file has
// is made and removed at once. Otherwise false, with why ("not a directory", or the system's
// reason) in *reason. dir must exist (ask for it to be made first where that is wanted).
bool DirTakesFiles(const std::string& dir, std::string* reason);

}  // namespace platform
