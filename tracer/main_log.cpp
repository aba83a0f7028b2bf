// The log command (module main_log).
#include "tracer/main_log.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>

#include "cmbs/cmbs_dsr.h"
#include "cmbs/cmbs_event.h"
#include "platform/console.h"
#include "platform/file_io.h"
#include "platform/local_time.h"
#include "session/console_text.h"
#include "tracer/tracer_out.h"

namespace {

const char* const kModule = "main_log";

const char* const kRule = "===============================================================================\n";

const char* const kHelp =
    "USAGE:\n------------------\nh\t=>\t help\nx\t=>\t sys overview\nt\t=>\t set loglevel\n\nq\t=>\t quit\n";

const char* const kOverviewLines[8] = {
    "Unlock              %d\n", "Handover            %d\n", "LinkError           %d\n",
    "Relay requests      %d\n", "FPHandover          %d\n", "FPLinkError         %d\n",
    "ExternalHandover    %d\n", "Relayed connections %d\n",
};

std::atomic<std::FILE*> g_log_file{nullptr};
std::atomic<int> g_log_error{0};  // the system's error code of the first write the log file did not take

// Flushes what was just written to the log file; a failure is kept for the end of the run.
void FlushLogFile(std::FILE* file) {
  if (std::fflush(file) == 0 && !std::ferror(file)) return;
  int none = 0;
  (void)g_log_error.compare_exchange_strong(none, errno != 0 ? errno : EIO);
}

}  // namespace

std::string cmLogTimeText(std::time_t t) {
  const std::string text = platform::CTimeText(t);
  return text.empty() ? "\n" : text;
}

void cmLogSetFile(std::FILE* file) {
  g_log_file = file;
  g_log_error = 0;
}

void cmLogPrintHeader(PST_FWAPP_OBJ app) {
  const std::time_t now = std::time(nullptr);
  const std::string time_text = cmLogTimeText(now);
  ST_FWAPP_VERSION version{};
  cmFwAppGetVersion(app, &version);
  char product[64];
  std::snprintf(product, sizeof product, "Product: SW Version %02X.%02X.%04X\n\n", version.product_version >> 8,
                version.product_version & 0xFF, version.build);

  std::string text = product;
  text += "Trace  : " + time_text + "\n";
  text += "Trace  : 'q' => quit\n";
  text += "\nTrace  : 'h' => help\n";
  if (g_log_file.load()) text += "Trace  : in File \n";
  text += std::string("\n") + kRule + "\n";
  cmTracerOut("%s", text.c_str());

  if (std::FILE* file = g_log_file.load()) {
    std::fprintf(file, "%sTrace  : %s\n\n%s\n", product, time_text.c_str(), kRule);
    FlushLogFile(file);
  }
}

int cmLogSetLevel(uint32_t level) {
  if (level > 3) {
    cmTracerOut("%s %d: [WARNING]: Nothing configured on target->Invalid logging level (%u)\n", kModule, 78, level);
    return -1;
  }
  cmbs_dsr_log_LevelSet(nullptr, "", level);
  return 0;
}

void cmLogAskLevel() {
  cmTracerOut("\nEnter level error/warn/info/off [e/w/i/o]: ");
  const int key = platform::ConsoleGetKey();
  uint32_t level;
  switch (key) {
    case 'e': level = 0; break;
    case 'w': level = 1; break;
    case 'i': level = 2; break;
    case 'o': level = 3; break;
    default:
      if (key < 0) {  // input ended: the console quits next
        cmTracerOut("\n");
      } else {
        cmTracerOut("\n%s %d: [ERROR]: Invalid level selected (%c)\n", kModule, 100, key);
      }
      return;
  }
  cmTracerOut("\n");
  cmLogSetLevel(level);
}

void cmLogCallBack(PST_FWAPP_OBJ, uint16_t event_id, void* param) {
  if (event_id == CMBS_EV_INT_LINE_GONE) {
    platform::ConsoleInterrupt();  // the console ends by itself: nothing more can come
    return;
  }
  auto* block = static_cast<PST_CMBS_PARAM_BLOCK>(param);
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (!platform::LocalTime(now, &local)) local = std::tm{};
  char clock[16];
  std::snprintf(clock, sizeof clock, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);

  uint8_t* ie = nullptr;
  uint16_t type = 0;
  cmbs_ie_GetFirst(block, &ie, &type);
  if (event_id == CMXX_EV_SYS_OVERVIEW_GET_RES) {
    ST_IE_SYS_OVERVIEW overview{};
    if (cmbs_ie_GetSysOverview(ie, &overview) != CMBS_RC_OK) return;  // not the answer expected
    std::string text;
    char line[64];
    for (int i = 0; i < 8; ++i) {
      std::snprintf(line, sizeof line, kOverviewLines[i], static_cast<int>(overview.counter[i]));
      text += line;
    }
    cmTracerOut("%s", text.c_str());
  } else if (event_id == CMXX_EV_LOG_MSG) {
    ST_IE_LOG_MSG log{};
    if (cmbs_ie_GetLogMsg(ie, &log) != CMBS_RC_OK) return;  // not a log line
    cmTracerOut("%s %s", clock, log.text);
    if (std::FILE* file = g_log_file.load()) {
      std::fprintf(file, "%s %s", clock, log.text);
      FlushLogFile(file);
    }
  }
}

int cmLogRun(uint8_t port, const char* log_path, int log_level) {
  char port_text[4];
  std::snprintf(port_text, sizeof port_text, "%d", port);
  PST_FWAPP_OBJ app = cmFwAppOpen(port_text, 0, nullptr);
  if (!app) {
    if (!cmFwAppOpenRefused()) cmTracerOut("[ERROR] Can not connect to COM%d\n", port);
    return -1;
  }
  // A log file another run is writing is refused and left whole; the run goes on without one.
  int file_error = 0;
  std::FILE* file = log_path ? platform::CreateHeldTextFile(log_path, &file_error) : nullptr;
  const bool file_failed = log_path && !file;
  if (file_failed) cmTellCannotCreate(log_path, file_error);
  cmLogSetFile(file);
  cmLogPrintHeader(app);
  cmLogSetLevel(static_cast<uint32_t>(log_level));
  cmFwAppSetEventCallback(app, cmLogCallBack);

  for (;;) {
    const int key = platform::ConsoleGetKey();
    if (key == 'h') {
      cmTracerOut("%s", kHelp);
    } else if (key == 'x') {
      cmbs_dsr_sys_OverviewGet(app->api_handle);
    } else if (key == 't') {
      cmLogAskLevel();
    } else if (key == 'q' || key < 0) {  // end of input and a line that is gone quit as well
      break;
    }
  }
  // No callback runs once the session is closed, so the file is never written after its close.
  const bool line_gone = cmFwAppLineGone();
  cmFwAppClose(app);
  int lost_error = g_log_error.load();
  cmLogSetFile(nullptr);
  // A log file that lost lines (a full disk, an I/O error) fails the run as one that never opened.
  bool file_lost = false;
  if (file) {
    file_lost = std::ferror(file) != 0;
    errno = 0;
    if (std::fclose(file) != 0) {
      file_lost = true;
      if (lost_error == 0) lost_error = errno;
    }
  }
  if (file_lost) cmTellCannotWrite(log_path, lost_error);
  return file_failed || file_lost || line_gone ? -1 : 0;
}
