#include "app/cli.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/console_out.h"
#include "station/all_repeaters.h"
#include "app/commands.h"
#include "app/repeaters.h"
#include "station/preflight.h"
#include "station/service_log.h"
#include "station/station_page.h"
#include "station/watch_repeaters.h"
#include "params/param_file.h"
#include "platform/console.h"
#include "platform/help_text.h"
#include "platform/self.h"
#include "platform/station_lock.h"
#include "session/comport_find.h"
#include "session/console_text.h"
#include "session/fwapp.h"
#include "session/parent_notes.h"
#include "session/product.h"
#include "session/service_record.h"
#include "session/version.h"

namespace {

constexpr int kStatusError = -1;   // command-line, product and presence errors
constexpr int kStatusFailed = 1;   // the command did not do what was asked

// Leading decimal number of a text, as the C library reads it; 0 when there is none.
long LeadingNumber(const char* text) { return std::strtol(text, nullptr, 10); }

// The value of -port: a COM port number from 1 to 255, else 0.
int PortOption(const char* text) {
  char* end = nullptr;
  const long port = std::strtol(text, &end, 10);
  return end != text && *end == '\0' && port >= 1 && port <= 255 ? static_cast<int>(port) : 0;
}

int StatusOf(int handler_result) { return handler_result == 0 ? 0 : kStatusFailed; }

// The options the command cannot do without: true when one is missing, after the message a
// single run gives, with its exit status in *status. A single run checks the PILL options here and
// the file of update, param_get and param_set in their handlers; a run over every repeater checks
// them all here, so that a run bound to fail starts no child and touches no repeater.
bool MandatoryOptionMissing(const ST_OPTIONS& o, bool every_repeater, int* status) {
  switch (o.command) {
    case CM_CMD_PILL_UPD:
    case CM_CMD_DATE2PILL:
      if (o.language == 255) {
        std::printf("\nPILL language mandatory!\n");
        cmPrintUsage();
        *status = kStatusError;
        return true;
      }
      if (!o.pill_path) {
        std::printf("\nPILL file name missing!\n");
        cmPrintUsage();
        *status = kStatusError;
        return true;
      }
      return false;
    case CM_CMD_UPDATE:
      if (!every_repeater || o.fw_path) return false;
      std::printf("\nFW file not defined\n");
      *status = kStatusFailed;
      return true;
    case CM_CMD_PARAM_GET:
    case CM_CMD_PARAM_SET:
      if (!every_repeater || o.settings_path) return false;
      std::printf("File NOT defined\n");
      *status = kStatusFailed;
      return true;
    default:
      return false;
  }
}

// The file the command needs, checked before any repeater is touched (a path with {serial} or
// {port} by each repeater's own run): a missing, empty or wrong file is a file fault, not a faulty
// repeater.
bool FilesReady(const ST_OPTIONS& o) {
  std::string why;
  if (cmPreflightFiles(o, false, &why)) return true;
  platform::PrintText(stderr, "halvern: %s\n", why.c_str());
  return false;
}

// -logdir: the directory is made when missing and must take files before any repeater is served.
bool LogDirReady(const ST_OPTIONS& o) {
  std::string why;
  if (!o.log_dir || cmServiceLogDirReady(o.log_dir, &why)) return true;
  platform::PrintText(stderr, "halvern: cannot write logs to directory '%s': %s\n", o.log_dir, why.c_str());
  return false;
}

// -all: the presence check and the checks of the command's options come first, as in a single run.
int RunOnEveryRepeater(int argc, const char* const* argv, const ST_OPTIONS& o) {
  std::vector<ST_REPEATER> found;
  if (std::string error; !cmComPortListAll(g_products[o.product].usb_id, &found, &error)) {
    cmComPortTellListFailure(error);
    return kStatusError;
  }
  if (found.empty()) {
    std::printf("[ERROR]Product is not plugged in PC\n");
    return kStatusError;
  }
  if (int status = 0; MandatoryOptionMissing(o, true, &status)) return status;
  if (!FilesReady(o) || !LogDirReady(o)) return kStatusFailed;
  if (o.report_path && !cmAllOpenReports(o, found)) return kStatusError;
  return cmAllRun(argc, argv, o, found);
}

// -watch: the command's options are checked before any repeater is awaited; a report file that
// is the same for every repeater must be writable.
int RunStation(int argc, const char* const* argv, const ST_OPTIONS& o) {
  if (int status = 0; MandatoryOptionMissing(o, true, &status)) return status;
  // One watch per station: a second one would serve each repeater beside the first.
  platform::StationLock station;
  long holder = 0;
  std::string why;
  switch (station.Take(cmStationKey(o), &holder, &why)) {
    case platform::StationLock::kTaken: break;
    case platform::StationLock::kHeld:
      platform::PrintText(stderr, "halvern: another watch serves the %s repeaters of this station: process %s\n",
                          g_products[o.product].short_name, holder > 0 ? std::to_string(holder).c_str() : "unknown");
      return kStatusError;
    case platform::StationLock::kUnavailable:
      platform::PrintText(stderr, "halvern: the station cannot be locked against a second watch: %s\n", why.c_str());
      break;
  }
  if (!FilesReady(o) || !LogDirReady(o)) return kStatusFailed;
  if (o.report_path && !std::strchr(o.report_path, '{') && !cmAllOpenReports(o, {ST_REPEATER{}}))
    return kStatusError;
  return cmWatchRun(argc, argv, o);
}

// A command on one repeater ends cleanly on a stop request instead of dying in the middle of a
// frame: a console quits as on its quit key (its link stays up for what quitting sends), any
// other command ends like one whose line is gone. Commands without a link keep the default.
void CatchStopsOfOneRun(int command) {
  switch (command) {
    case CM_CMD_PARAMS:
    case CM_CMD_LOG:
    case CM_CMD_TRACER:
      platform::CatchStopRequests([](platform::StopRequest) {
        cmFwAppRefuseOpen();
        platform::ConsoleInterrupt();
      });
      return;
    case CM_CMD_UPDATE:
    case CM_CMD_PARAM_GET:
    case CM_CMD_PARAM_SET:
    case CM_CMD_VERSION:
    case CM_CMD_PILL_UPD:
    case CM_CMD_FACT_RESET:
    case CM_CMD_POWER_OFF:
    case CM_CMD_REBOOT:
      platform::CatchStopRequests([](platform::StopRequest) { cmFwAppRequestStop(); });
      return;
    default:
      return;
  }
}

// Options that answer at once and touch no device: any argument that is one of them (even where
// another option would take it as its value) ends the run before the banner.
constexpr const char* kHelpOption = "--help";
constexpr const char* kVersionOption = "--version";

const char* const kHelpCommands =
    "Commands (-cmd COMMAND; a value that begins with a keyword selects it):\n"
    "  update      transfer the firmware image -fw FILE, then restart the target\n"
    "  pill_upd    transfer the PILL file -pill FILE with language -lang N\n"
    "  date2pill   stamp -pilldate YYMMDD and -lang N into the PILL file -pill FILE\n"
    "              (needs neither -p nor a device)\n"
    "  params      console for the target's parameter area (g read, s write, q quit)\n"
    "  param_get   read what -settings FILE lists into FILE-stem_VERSION.out\n"
    "  param_set   write the values listed in -settings FILE into the target\n"
    "  version     show the target's software version\n"
    "  log         set the log level -llevel N, show the log lines (and -lfile FILE)\n"
    "  tracer      set up the DECT message logger from -tfile FILE, record its trace\n"
    "  fact_reset  reset the target to its factory settings\n"
    "  power_off   switch the target off\n"
    "  reboot      restart the target\n"
    "  list        list the attached repeaters: port, serial number, version, device\n"
    "  msg_log     reserved: reported as an unknown command\n";

const char* const kHelpOptions =
    "Options (matched exactly; one given twice takes its later value):\n"
    "  -p PRODUCT        the product (see Products)\n"
    "  -cmd COMMAND      the command to run\n"
    "  -fw FILE          firmware image for update\n"
    "  -pill FILE        PILL file for pill_upd and date2pill\n"
    "  -lang N           PILL language number, 0 to 254, for pill_upd and date2pill\n"
    "  -pilldate YYMMDD  date for date2pill\n"
    "  -settings FILE    settings file for param_get and param_set\n"
    "  -tfile FILE       logger configuration file for tracer\n"
    "  -lfile FILE       log file for log\n"
    "  -llevel N         log level for log: 0 error, 1 warning, 2 info, 3 off\n"
    "  -port N           work on the repeater on COM port N (1 to 255)\n"
    "  -sn SERIAL        work on the repeater with this USB serial number\n"
    "  -verify           with update: wait for the repeater to restart and come\n"
    "                    back, then show its version (\"Verified: SW Version\n"
    "                    OLD -> NEW\")\n"
    "  -expect VERSION   -verify, and fail unless the version after the restart is\n"
    "                    VERSION, written xx.xx.xxxx (case does not matter)\n"
    "  -all              run update, pill_upd, param_get, param_set, version,\n"
    "                    reboot, power_off or fact_reset on every attached\n"
    "                    repeater at once; {serial} and {port} in an argument\n"
    "                    become each repeater's serial number and COM port number\n"
    "  -watch            serve each repeater as it is plugged in (update, pill_upd,\n"
    "                    param_get, param_set, version, fact_reset), each as -all\n"
    "                    does, until stopped: the first Ctrl-C waits for those\n"
    "                    working, a second stops them\n"
    "  -report FILE      append one JSON line per repeater served to FILE (update,\n"
    "                    pill_upd, param_get, param_set, version, reboot,\n"
    "                    power_off, fact_reset; see the manual for its fields)\n"
    "  -ondone COMMAND   with -all or -watch: run COMMAND after each repeater served\n"
    "  -logdir DIR       with -all or -watch: each service's output in a file in DIR\n"
    "  -http [ADDR:]PORT with -all or -watch: serve a live page of the station at\n"
    "                    http://ADDR:PORT/ (ADDR 127.0.0.1 unless given; port 0:\n"
    "                    a free one, named on standard error)\n"
    "  -skipcurrent      with -expect: leave a repeater on that version as it is\n"
    "  -tdir DIR         with tracer: write the trace file into DIR (default: the\n"
    "                    current folder)\n"
    "  -h                show the short usage text\n"
    "  --help            show this text\n"
    "  --version         show the version of halvern and the tool version that the\n"
    "                    banner shows\n";

const char* const kHelpEnd =
    "Exit status:\n"
    "  0    the command did what was asked; -h, --help and --version\n"
    "  1    it did not: the link did not come up, a transfer or request failed or\n"
    "       timed out, a file could not be opened, the repeater went away, or the\n"
    "       command is unknown\n"
    "  255  command-line error, unknown product, no device plugged in, or none on\n"
    "       the port or with the serial number given\n"
    "\n"
    "A fault that the messages on standard output do not explain is told in one\n"
    "line on standard error that begins \"halvern: \".\n";

void PrintHelp() {
  std::printf("halvern %s: servicing tool for the RX5120 USB DECT repeater\n\n", cmToolVersion());
  std::printf("usage: halvern -p PRODUCT -cmd COMMAND [options]\n");
  std::printf("       halvern -cmd date2pill -pill FILE -lang N -pilldate YYMMDD\n");
  std::printf("       halvern -h | --help | --version\n\n");
  std::printf("%s\n%s\n", kHelpCommands, kHelpOptions);
  std::printf("Products:\n");
  for (int i = 0; i < g_product_count; ++i) std::printf("  %s\n", g_products[i].short_name);
  std::printf("\n%s", kHelpEnd);
  std::printf("%s\n%s", platform::ExitStatusScriptNote(), platform::ManualLine("halvern", "man/halvern.1").c_str());
}

// --help or --version anywhere among the arguments: answered here, 0; otherwise -1.
int AnswerAtOnce(int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], kHelpOption) == 0) {
      PrintHelp();
      return 0;
    }
    if (std::strcmp(argv[i], kVersionOption) == 0) {
      std::fputs(cmVersionLine("halvern").c_str(), stdout);
      return 0;
    }
  }
  return -1;
}

bool OpenReport(const char* path) {
  std::string reason;
  if (cmReportOpen(path, &reason)) return true;
  platform::PrintText(stderr, "halvern: cannot open report file '%s': %s\n", path, reason.c_str());
  return false;
}

// The USB serial number of the repeater on the port, "" when none is known.
std::string SerialOf(uint8_t port) {
  for (int i = 0; i < g_product_count; ++i)
    for (const ST_REPEATER& r : cmComPortFindAll(g_products[i].usb_id))
      if (r.port == port) return r.serial;
  return {};
}

// The failure of a command in words, for its service record.
std::string FailureText(int command, const std::string& result) {
  if (result == "ok" || result == "skipped") return {};
  if (result == "interrupted") return "Stopped on request";
  if (result == "disconnected") return "The repeater was disconnected";
  switch (command) {
    case CM_CMD_UPDATE: return "FW Update was not successfully finished";
    case CM_CMD_PILL_UPD: return "PILL update was not successfully finished";
    case CM_CMD_PARAM_GET: return "Reading the parameters failed";
    case CM_CMD_PARAM_SET: return "Writing the parameters failed";
    case CM_CMD_REBOOT:
    case CM_CMD_POWER_OFF:
    case CM_CMD_FACT_RESET: return "The request could not be sent";
    default: return "The command failed";
  }
}

// The console's words for a command run without the file it needs; null when it has it.
const char* MissingFileText(const ST_OPTIONS& o) {
  if (o.command == CM_CMD_UPDATE && !o.fw_path) return "FW file not defined";
  if ((o.command == CM_CMD_PARAM_GET || o.command == CM_CMD_PARAM_SET) && !o.settings_path) return "File NOT defined";
  return nullptr;
}

// The options beyond the classic single run's set, in one place (the hidden ones a run over
// several repeaters gives its children included). A command line that uses any of them is
// checked strictly: an argument nothing takes refuses the run. New options join this table.
struct STATION_OPTION {
  const char* name;
  bool parent_only;  // carried out by the run over several repeaters, never passed to a child
};
constexpr STATION_OPTION kStationOptions[] = {
    {"-port", false},   {"-sn", false},     {"-all", false},    {"-watch", false},
    {"-report", false}, {"-verify", false}, {"-expect", false}, {"-skipcurrent", false},
    {"-ondone", true},  {"-logdir", true},  {"-tdir", false},   {"-http", true},
    {CM_ALL_CHILD_OPTION, false},  // only from a marked child's leading place
    {CM_OUT_TAG_OPTION, false},
};

const STATION_OPTION* StationOption(const char* name) {
  for (const STATION_OPTION& option : kStationOptions)
    if (std::strcmp(option.name, name) == 0) return &option;
  return nullptr;
}

// Where the options a parent puts ahead of its child's arguments end ("-port N", "-outtag=TAG"
// for param_get, then "-allchild"): the position of -allchild; 0 when the parent did not mark
// this process as its child or the arguments do not begin so.
int ChildPrefixEnd(int argc, const char* const* argv) {
  const char* mark = std::getenv(CM_CHILD_ENV);
  if (!mark || std::strcmp(mark, "1") != 0) return 0;
  if (argc < 4 || std::strcmp(argv[1], "-port") != 0) return 0;
  int at = 3;
  if (std::strncmp(argv[at], CM_OUT_TAG_OPTION, std::strlen(CM_OUT_TAG_OPTION)) == 0) ++at;
  return at < argc && std::strcmp(argv[at], CM_ALL_CHILD_OPTION) == 0 ? at : 0;
}

int MissingValue(const char* option, const char* what) {
  platform::PrintText(stderr, "halvern: %s needs %s\n", option, what);
  return kStatusError;
}

// The new options' own usage errors (one line on standard error); true when there is one.
bool StationOptionsMisused(const ST_OPTIONS& o) {
  const char* error = nullptr;
  if (o.on_done && !o.all && !o.watch) error = "-ondone works only with -all or -watch";
  else if (o.log_dir && !o.all && !o.watch) error = "-logdir works only with -all or -watch";
  else if (o.http && !o.all && !o.watch) error = "-http works only with -all or -watch";
  else if (o.skip_current && !o.expect) error = "-skipcurrent works only with -expect";
  else if (o.trace_dir && o.command != CM_CMD_TRACER) error = "-tdir works only with tracer";
  if (error) platform::PrintText(stderr, "halvern: %s\n", error);
  if (error) return true;
  // A mistyped address is a usage error, told before the watch begins.
  CM_HTTP_WHERE where;
  if (std::string why; o.http && !cmHttpWhereParse(o.http, &where, &why)) {
    platform::PrintText(stderr, "halvern: -http: %s\n", why.c_str());
    return true;
  }
  return false;
}

int Dispatch(const ST_OPTIONS& o, uint8_t port);
int DispatchAndTell(const ST_OPTIONS& o, uint8_t port);

// A run for one repeater whose file is not fit to be sent: nothing goes on the wire; the record
// (with -report) names the file fault.
int RefuseRepeaterFile(const ST_OPTIONS& o, uint8_t port, const std::string& why) {
  platform::PrintText(stderr, "halvern: %s\n", why.c_str());
  if (!cmReportIsOpen() && !cmParentNotesEnabled()) return kStatusFailed;
  const std::string serial = SerialOf(port);
  cmReportBegin(cmCommandName(o.command), port, serial.empty() ? nullptr : &serial);
  if (const char* file = cmCommandFile(o)) cmReportSetFile(file);
  cmReportSetReason(CM_REASON_FILE);
  cmReportSetMessage(why);
  (void)cmReportFinish("failed", why);  // a record that cannot be written has been told on stderr
  return kStatusFailed;
}

}  // namespace

void cmPrintBanner() {
  cmPrintRule();
  std::printf("\n");
  std::printf("HALVERN Software Administration Tool Version %s\n", cmBannerVersion());
  std::printf("\n");
  cmPrintRule();
  std::printf("\n");
}


int cmProductLookup(const char* text) {
  for (int i = 0; i < g_product_count; ++i)
    if (std::strncmp(text, g_products[i].short_name, std::strlen(g_products[i].short_name)) == 0) return i;
  return -1;
}

int cmParseOptions(int argc, const char* const* argv, ST_OPTIONS* o) {
  const int prefix_end = ChildPrefixEnd(argc, argv);
  std::vector<const char*> unknown;  // arguments no test matched and no option took as its value
  bool station_line = false;         // an option beyond the classic single run's set was used
  // Each pass makes every test against the argument at i; an option with a value moves i
  // onto the value, so the later tests of the same pass look at that value.
  for (int i = 1; i < argc; ++i) {
    const int pass_start = i;
    int hits = 0, parent_only_hits = 0;
    auto hit = [&](const char* option) {
      ++hits;
      if (const STATION_OPTION* station = StationOption(option)) {
        station_line = true;
        parent_only_hits += station->parent_only;
      }
    };
    auto is = [&](const char* option) {
      // NOLINTNEXTLINE(clang-analyzer-core.NonNullParamChecker): argv[i] is a text for every i below argc
      if (std::strcmp(argv[i], option) != 0) return false;
      hit(option);
      return true;
    };
    auto value = [&]() { return i + 1 < argc ? argv[++i] : nullptr; };
    if (is("-p")) {
      if (const char* v = value()) o->product = cmProductLookup(v);
    }
    if (is("-fw")) {
      if (const char* v = value()) o->fw_path = v;
      if (!o->fw_path) {
        cmPrintUsage();
        return kStatusError;
      }
    }
    if (is("-h")) {
      cmPrintUsage();
      return 0;
    }
    if (is("-cmd")) {
      if (const char* v = value()) o->command = cmCommandLookup(v);
    }
    if (is("-tfile")) {
      if (const char* v = value()) o->tracer_path = v;
    }
    if (is("-settings")) {
      if (const char* v = value()) o->settings_path = v;
    }
    if (is("-lfile")) {
      if (const char* v = value()) o->log_path = v;
    }
    if (is("-llevel")) {
      if (const char* v = value()) {
        long level = LeadingNumber(v);
        o->log_level = level > INT_MAX ? INT_MAX : level < INT_MIN ? INT_MIN : static_cast<int>(level);
      }
    }
    if (is("-lang")) {
      if (const char* v = value()) o->language = static_cast<uint8_t>(static_cast<unsigned long>(LeadingNumber(v)));
    }
    if (is("-pill")) {
      if (const char* v = value()) o->pill_path = v;
    }
    if (is("-pilldate")) {
      if (const char* v = value()) o->pill_date = v;
    }
    if (is("-verify")) o->verify = true;
    if (is("-expect")) {
      const char* v = value();
      o->expect = v ? v : "";
      o->verify = true;
    }
    // A child of -all is given its own options first, up to -allchild, then the user's arguments
    // as typed: a choice of repeater or an -all among those was the parent's and is read past.
    const bool passed_on = o->all_child;
    if (is("-port")) {
      const char* v = value();
      const int port = v ? PortOption(v) : 0;
      if (port == 0) {  // missing, or no port number
        cmPrintUsage();
        return kStatusError;
      }
      if (!passed_on) o->port = port;
    }
    if (is("-sn")) {
      const char* v = value();
      if (!v) {
        cmPrintUsage();
        return kStatusError;
      }
      if (!passed_on) o->serial = v;
    }
    if (is("-report")) {
      o->report_path = value();
      if (!o->report_path) {
        cmPrintUsage();
        return kStatusError;
      }
    }
    if (is("-all") && !passed_on) o->all = true;
    if (is("-watch") && !passed_on) o->watch = true;
    // The hidden options exist only for a child its parent marked, and only in the leading
    // place the parent writes them.
    if (prefix_end != 0 && is(CM_ALL_CHILD_OPTION)) o->all_child = true;
    // One argument: a tag (it comes from the device) can never be read as an option.
    if (prefix_end != 0 && std::strncmp(argv[i], CM_OUT_TAG_OPTION, std::strlen(CM_OUT_TAG_OPTION)) == 0) {
      hit(CM_OUT_TAG_OPTION);
      if (!passed_on) o->out_tag = argv[i] + std::strlen(CM_OUT_TAG_OPTION);
    }
    if (is("-ondone")) {
      const char* v = value();
      if (!v) return MissingValue("-ondone", "a command");
      if (!passed_on) o->on_done = v;
    }
    if (is("-logdir")) {
      const char* v = value();
      if (!v) return MissingValue("-logdir", "a directory");
      if (!passed_on) o->log_dir = v;
    }
    if (is("-http")) {
      const char* v = value();
      if (!v) return MissingValue("-http", "[ADDR:]PORT");
      if (!passed_on) o->http = v;
    }
    if (is("-skipcurrent")) o->skip_current = true;
    if (is("-tdir")) {
      const char* v = value();
      if (!v) return MissingValue("-tdir", "a directory");
      o->trace_dir = v;
    }

    if (hits == 0) unknown.push_back(argv[pass_start]);
    // A pass that did nothing but options of the parent's own is left out of the children's
    // arguments whole; one that also set something a child needs is passed on as it is.
    if (hits > 0 && hits == parent_only_hits)
      for (int at = pass_start; at <= i; ++at) o->parent_only.push_back(at);
  }
  // The classic single run skips what it does not know; a command line using the station's
  // options is refused with any argument nothing took, before anything is touched. Either way
  // the first one is named (the value of a misspelt option is the next).
  if (unknown.empty()) return CM_PARSE_CONTINUE;
  platform::PrintText(stderr, "halvern: unknown option '%s'\n", unknown.front());
  return station_line ? kStatusError : CM_PARSE_CONTINUE;
}

int cmMain(int argc, const char* const* argv) {
  if (AnswerAtOnce(argc, argv) == 0) return 0;
  cmPrintBanner();
  if (argc <= 1) {
    cmPrintUsage();
    return kStatusError;
  }
  ST_OPTIONS o;
  int parsed = cmParseOptions(argc, argv, &o);
  if (parsed != CM_PARSE_CONTINUE) return parsed;
  if (StationOptionsMisused(o)) return kStatusError;
  (void)cmRunId();  // the run's id carries the time it started
  // The tracer's folder must take its file before any repeater is looked for.
  if (std::string why; o.trace_dir && !cmTracerDirReady(o.trace_dir, &why)) {
    platform::PrintText(stderr, "halvern: cannot write trace files to directory '%s': %s\n", o.trace_dir, why.c_str());
    return kStatusFailed;
  }
  if (o.all && !cmAllSupports(o.command)) {
    std::printf("[ERROR] -all works only with update, pill_upd, param_get, param_set, version, reboot, "
                "power_off and fact_reset\n");
    return kStatusError;
  }
  if (o.watch && (o.all || o.port != 0 || o.serial)) {
    std::printf("[ERROR] -watch serves each repeater plugged in: it cannot be combined with -all, -port or -sn\n");
    return kStatusError;
  }
  if (o.watch && !cmWatchSupports(o.command)) {
    std::printf("[ERROR] -watch works only with update, pill_upd, param_get, param_set, version and fact_reset\n");
    return kStatusError;
  }
  if (o.verify && o.command != CM_CMD_UPDATE) {
    std::printf("[ERROR] -verify and -expect work only with update\n");
    return kStatusError;
  }
  if (o.expect && !cmFwUpVersionTextValid(o.expect)) {
    std::printf("[ERROR] -expect needs a version written as xx.xx.xxxx in hexadecimal digits, e.g. 01.03.0400\n");
    return kStatusError;
  }
  if (o.report_path && !cmAllSupports(o.command)) {
    std::fprintf(stderr, "halvern: -report works only with update, pill_upd, param_get, param_set, version, reboot, "
                         "power_off and fact_reset\n");
    return kStatusError;
  }
  // A run on one repeater opens its report file before any port: a file that cannot be written
  // to is known before anything is done. A run over every repeater opens each repeater's.
  if (o.report_path && !o.all && !o.watch && !o.all_child && !OpenReport(o.report_path)) return kStatusError;
  if (o.all_child) {
    // Its record goes to the run that started it, which writes every record of the run.
    cmParentNotesEnable();
    // Started by -all: a stop request, or the run that started it gone, ends the command like a
    // lost line, after the frame being written.
    platform::CatchStopRequests([](platform::StopRequest) { cmFwAppRequestStop(); });
    platform::CatchHangUps(true);
    if (o.out_tag) cmParamSetOutTag(o.out_tag);
    // Just plugged in, the unit's port may not be ours to open for a moment.
    cmFwAppRetryOpens(true);
  }

  uint8_t port = 0;
  if (o.command != CM_CMD_DATE2PILL) {
    if (o.product < 0 || o.product >= g_product_count) {
      std::printf("[ERROR]\tProduct is unknown\n");
      std::printf("\n");
      cmPrintRule();
      std::printf("\n");
      return kStatusError;
    }
    if (o.all) return RunOnEveryRepeater(argc, argv, o);
    if (o.watch) return RunStation(argc, argv, o);
    if (o.command == CM_CMD_LIST) return cmListRepeaters(g_products[o.product], o.port, o.serial);
    if (o.port != 0 || o.serial) {
      // Only a repeater of this product counts; saying which one is missing beats taking another.
      port = cmChooseRepeater(g_products[o.product], o.port, o.serial);
      if (port == 0) return kStatusError;
    }
    if (port == 0) port = cmComPortFind(g_products[o.product].usb_id);
    for (int i = 0; port == 0 && i < g_product_count; ++i) port = cmComPortFind(g_products[i].usb_id);
    if (port == 0) {
      std::printf("[ERROR]Product is not plugged in PC\n");
      return kStatusError;
    }
    // Caught once there is a repeater to work on: until then a stop has nothing to end cleanly.
    if (!o.all_child) CatchStopsOfOneRun(o.command);
  }
  if (o.command == CM_CMD_PILL_UPD)
    if (int status = 0; MandatoryOptionMissing(o, false, &status)) return status;
  if (o.all_child) {  // the file may have been replaced since the parent looked: checked before the link
    if (std::string why; !cmPreflightFiles(o, true, &why)) return RefuseRepeaterFile(o, port, why);
  }

  if (!cmReportIsOpen() && !o.all_child) return DispatchAndTell(o, port);
  const std::string serial = SerialOf(port);
  cmReportBegin(cmCommandName(o.command), port, serial.empty() ? nullptr : &serial);
  if (const char* file = cmCommandFile(o)) cmReportSetFile(file);
  if (o.expect) cmReportSetExpected(o.expect);
  if (const char* missing = MissingFileText(o)) {
    cmReportSetMessage(missing);
    cmReportSetReason(CM_REASON_USAGE);
  }
  const int status = DispatchAndTell(o, port);
  if (o.verify) {  // the version read after the restart is recorded also when it is not the one expected
    const FWUP_VERIFY_RESULT& verified = cmFwUpLastVerify();
    if (!verified.version_after.empty()) cmReportSetVersionAfter(verified.version_after);
    if (!verified.message.empty()) cmReportSetMessage(verified.message);
  }
  const bool skipped = o.verify && cmFwUpLastVerify().skipped;
  const char* result = skipped                   ? "skipped"
                       : status == 0             ? "ok"
                       : cmFwAppOpenRefused()    ? "interrupted"
                       : cmFwAppLineGone()       ? "disconnected"
                                                 : "failed";
  const bool written = cmReportFinish(result, FailureText(o.command, result));
  return written || status != 0 ? status : kStatusFailed;
}

namespace {

// The command; a station's child then tells its parent when the port never opened, for such a
// service does not count toward the services a repeater gets.
int DispatchAndTell(const ST_OPTIONS& o, uint8_t port) {
  const int status = Dispatch(o, port);
  if (status != 0 && cmFwAppPortNeverOpened()) cmNoteToParent("unopened", "");
  return status;
}

int Dispatch(const ST_OPTIONS& o, uint8_t port) {
  switch (o.command) {
    case CM_CMD_UPDATE:
      if (o.verify)
        return StatusOf(cmFwUpVerifyCommand(port, g_products[o.product].usb_id, o.fw_path, o.expect, o.skip_current));
      return StatusOf(cmFwUpCommand(port, o.fw_path));
    case CM_CMD_PARAMS: return StatusOf(cmParamConsole(port));
    case CM_CMD_PARAM_GET: return StatusOf(cmParamFileRun(port, o.settings_path, 1));
    case CM_CMD_PARAM_SET: return StatusOf(cmParamFileRun(port, o.settings_path, 0));
    case CM_CMD_VERSION: return StatusOf(cmVersionCommand(port));
    case CM_CMD_LOG: return StatusOf(cmLogRun(port, o.log_path, o.log_level));
    case CM_CMD_TRACER: return StatusOf(cmTracerRun(port, o.tracer_path, o.trace_dir));
    case CM_CMD_FACT_RESET: return StatusOf(cmFactResetCommand(port));
    case CM_CMD_POWER_OFF: return StatusOf(cmPowerOffCommand(port));
    case CM_CMD_REBOOT: return StatusOf(cmRebootCommand(port));
    case CM_CMD_PILL_UPD:
    case CM_CMD_DATE2PILL:
      if (int status = 0; MandatoryOptionMissing(o, false, &status)) return status;
      if (o.command == CM_CMD_PILL_UPD) return StatusOf(cmPillUpdCommand(port, o.pill_path, o.language));
      return StatusOf(cmPillDateStamp(o.pill_date, o.pill_path, o.language));
    default:
      std::printf("[ERROR] Unknown command!\n");
      return kStatusFailed;
  }
}

}  // namespace
