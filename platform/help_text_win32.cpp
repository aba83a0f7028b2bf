#include "platform/help_text.h"

namespace platform {

// The installer puts each man page as text beside the programs.
std::string ManualLine(const char* program, const char* /*source_page*/) {
  return std::string("Manual: ") + program +
         ".txt in the folder the programs are installed in (C:\\Program Files\\halvern\n"
         "unless chosen otherwise).\n";
}

const char* ExitStatusScriptNote() {
  return "\nIn a batch file 255 is ERRORLEVEL -1, which \"if errorlevel 1\" does not see:\n"
         "test \"if %ERRORLEVEL% NEQ 0\" (the manual shows a whole batch file).\n";
}

}  // namespace platform
