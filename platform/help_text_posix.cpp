#include "platform/help_text.h"

namespace platform {

std::string ManualLine(const char* program, const char* source_page) {
  std::string line = std::string("Manual: man ") + program;
  if (source_page) line += std::string(" (the page ") + source_page + " of the sources).";
  return line + "\n";
}

const char* ExitStatusScriptNote() { return ""; }

}  // namespace platform
