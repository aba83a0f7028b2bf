// File operands of a command line with wildcards in them. A POSIX shell expands them before the
// program starts; the Windows console leaves that to the program.
#pragma once

#include <string>
#include <vector>

namespace platform {

// The files a file operand names. Where the shell expands wildcards: the operand as given.
// Otherwise the files that match its wildcards (* and ? in the last part of the path), in name
// order, each with the operand's folder part; an operand without wildcards, or one that matches
// nothing, as given (so that opening it tells what is wrong). Only for a program's own file
// operands: option values and arguments passed on are taken as written.
std::vector<std::string> ExpandFileOperand(const std::string& operand);

}  // namespace platform
