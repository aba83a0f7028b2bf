// The tracer command (module main_tracer).
#include "tracer/main_tracer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "cmbs/cmbs_dsr.h"
#include "platform/console.h"
#include "platform/dir_probe.h"
#include "platform/file_io.h"
#include "session/console_text.h"
#include "session/fwapp.h"
#include "session/service_record.h"
#include "session/text_file.h"
#include "tracer/main_tracer_event.h"
#include "tracer/main_tracer_user.h"
#include "tracer/tracer_out.h"

namespace {

const char* const kModule = "main_tracer";

// The line of the configuration file the command was read from.
int g_command_line = 0;

const char* const kUsage =
    "USAGE:\n------------------\ns\t=>\t show logger configurations\nq\t=>\t quit\nh\t=>\t help\n\n";

// One line of a text file without its line end ("\r\n" counts as "\n"); false at the end.
bool ReadLine(std::FILE* file, std::string* line) {
  line->clear();
  int c;
  while ((c = std::fgetc(file)) != EOF && c != '\n') line->push_back(static_cast<char>(c));
  if (c == EOF && line->empty()) return false;
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

}  // namespace

int cmTracerReadCommand(const char* path, char* buffer, size_t size) {
  if (!buffer || size < 2) return -1;
  std::memset(buffer, 0, size);
  errno = 0;
  g_command_line = 0;
  TEXT_OPEN_RESULT opened = TEXT_OPEN_OK;
  std::FILE* file = cmTextFileOpen(path, "rb", &opened);
  if (!file) {
    const int error = errno;
    cmTracerOut("%s, %d: [ERROR]: Opening file=%s\n", kModule, 25, path ? path : "");
    if (opened == TEXT_OPEN_UTF16)
      cmTellUtf16(path);
    else
      cmTellCannotOpen(path, error);
    return -1;
  }
  errno = 0;
  std::string line;
  int result = -1;
  int line_number = 0;
  while (ReadLine(file, &line)) {
    ++line_number;
    if (line.empty() || line[0] == '#') continue;  // empty lines and comments, however long
    line.resize(std::strlen(line.c_str()));       // the command ends at a NUL byte
    const size_t max = size - 2;                  // room for the line end and the terminator
    if (line.size() > max) {  // cut short it would be another command: refused whole
      cmReportSetReason(CM_REASON_FILE);
      cmTell("'%s' line %d: logger command longer than %u characters (%u)", path, line_number,
             static_cast<unsigned>(max), static_cast<unsigned>(line.size()));
      break;
    }
    std::memcpy(buffer, line.data(), line.size());
    buffer[line.size()] = '\0';
    g_command_line = line_number;
    result = 0;
    break;
  }
  // A file that opens but cannot be read (a directory, an I/O error) is as good as unopened:
  // whatever was read may be cut short.
  if (std::ferror(file)) {
    const int error = errno;
    cmTracerOut("%s, %d: [ERROR]: Opening file=%s\n", kModule, 25, path);
    cmTellCannotRead(path, error);
    std::memset(buffer, 0, size);
    result = -1;
  }
  (void)std::fclose(file);  // read only: nothing is lost
  return result;
}

bool cmTracerDirReady(const char* dir, std::string* reason) {
  if (!dir || !*dir || !platform::PathExists(dir)) {
    *reason = "no such directory";
    return false;
  }
  return platform::DirTakesFiles(dir, reason);
}

int cmTracerRun(uint8_t port, const char* config_path, const char* trace_dir) {
  if (!config_path) {
    cmTracerOut("%s, %d: [ERROR]: Logger configuration file not provided\n", kModule, 58);
    return -1;
  }
  char command[TRACER_COMMAND_SIZE] = {};
  if (cmTracerReadCommand(config_path, command, sizeof command) != 0) {
    cmTracerOut("%s, %d: [ERROR]: Nothing to configure. You must specify the logger configurations in the text "
                "file(%s)\n",
                kModule, 64, config_path);
    return -1;
  }

  char port_text[4];
  std::snprintf(port_text, sizeof port_text, "%d", port);
  PST_FWAPP_OBJ app = cmFwAppOpen(port_text, 0, nullptr);
  if (!app) {
    if (!cmFwAppOpenRefused())
      cmTracerOut("%s %d: [ERROR]: Unable to initialize cmbs! Check your com port\n", kModule, 112);
    return -1;
  }
  // From here on trace events and status answers are handled on the receive thread.
  cmFwAppSetEventCallback(app, cmTracerCallBack);

  if (!cmLoggerConfigure(command)) {
    // A blank at the end is part of the command; editors and "echo a >file" leave one unseen.
    const size_t length = std::strlen(command);
    if (length > 0 && (command[length - 1] == ' ' || command[length - 1] == '\t'))
      cmTell("line %d of '%s' ends in a blank: tracer commands take none", g_command_line, config_path);
    cmFwAppClose(app);
    return -1;
  }
  // Without a trace file the console still runs; each trace event then says the file is not open.
  const bool recording = cmTracerFileOpen(trace_dir) == 0;
  cmTracerOut("%s", kUsage);

  for (;;) {
    const int key = platform::ConsoleGetKey();
    if (key == 'h') {
      cmTracerOut("%s", kUsage);
    } else if (key == 's') {
      // The line break goes out first so that it always stands before the answer's block.
      cmTracerOut("\n");
      cmbs_dsr_logger_StatusGet();
    } else if (key == 'q' || key < 0) {  // end of input and a line that is gone quit as well
      break;
    }
  }
  cmTracerFileClose();
  // Records that did not reach the trace file (a full disk) fail the run: the recording has gaps.
  const bool lost = recording && cmTracerFileLost();
  if (lost) cmTracerTellLost();
  // The logger-off request is drained to the line when the link goes down.
  const bool line_gone = cmFwAppLineGone();
  cmFwAppClose(app);
  return recording && !lost && !line_gone ? 0 : -1;
}
