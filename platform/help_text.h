// The parts of a program's --help text that differ between systems: where its manual is read,
// and how a script tests its exit status.
#pragma once

#include <string>

namespace platform {

// The line that ends --help, with its line end: where the manual of `program` is read once
// installed. `source_page` (may be null) is the page in the sources, named where the installed
// manual is a man page.
std::string ManualLine(const char* program, const char* source_page);

// Lines that --help adds after the exit statuses on how a script sees them, each paragraph
// begun by an empty line; "" where a script sees them as the statuses are listed.
const char* ExitStatusScriptNote();

}  // namespace platform
