#include "platform/file_operands.h"

namespace platform {

std::vector<std::string> ExpandFileOperand(const std::string& operand) { return {operand}; }

}  // namespace platform
