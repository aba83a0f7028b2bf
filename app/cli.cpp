#include "app/cli.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/all_repeaters.h"
#include "app/commands.h"
#include "app/repeaters.h"
#include "params/param_file.h"
#include "platform/console.h"
#include "platform/self.h"
#include "session/comport_find.h"
#include "session/console_text.h"
#include "session/fwapp.h"
#include "session/product.h"

namespace {

const char* const kCommands[CM_CMD_NONE] = {
    "update", "params", "param_get", "param_set", "version", "msg_log", "log",
    "pill_upd", "tracer", "fact_reset", "power_off", "reboot", "date2pill", "list",
};

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

// -all: the presence check and the checks of the command's options come first, as in a single run.
int RunOnEveryRepeater(int argc, const char* const* argv, const ST_OPTIONS& o) {
  const std::vector<ST_REPEATER> found = cmComPortFindAll(g_products[o.product].usb_id);
  if (found.empty()) {
    std::printf("[ERROR]Product is not plugged in PC\n");
    return kStatusError;
  }
  if (int status = 0; MandatoryOptionMissing(o, true, &status)) return status;
  return cmAllRun(argc, argv, o, found);
}

// A command on one repeater ends cleanly on a stop request instead of dying in the middle of a
// frame: a console quits as on its quit key (its link stays up for what quitting sends), any
// other command ends like one whose line is gone. Commands without a link keep the default.
void CatchStopsOfOneRun(int command) {
  switch (command) {
    case CM_CMD_PARAMS:
    case CM_CMD_LOG:
    case CM_CMD_TRACER:
      platform::CatchStopRequests([] {
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
      platform::CatchStopRequests([] { cmFwAppRequestStop(); });
      return;
    default:
      return;
  }
}

}  // namespace

void cmPrintBanner() {
  cmPrintRule();
  std::printf("\n");
  std::printf("HALVERN Software Administration Tool Version %x.%02x\n", 1, 1);
  std::printf("\n");
  cmPrintRule();
  std::printf("\n");
}

int cmCommandLookup(const char* text) {
  for (int i = 0; i < CM_CMD_NONE; ++i)
    if (std::strncmp(text, kCommands[i], std::strlen(kCommands[i])) == 0) return i;
  return CM_CMD_NONE;
}

int cmProductLookup(const char* text) {
  for (int i = 0; i < g_product_count; ++i)
    if (std::strncmp(text, g_products[i].short_name, std::strlen(g_products[i].short_name)) == 0) return i;
  return -1;
}

int cmParseOptions(int argc, const char* const* argv, ST_OPTIONS* o) {
  // Each pass makes every test against the argument at i; an option with a value moves i
  // onto the value, so the later tests of the same pass look at that value.
  for (int i = 1; i < argc; ++i) {
    // NOLINTNEXTLINE(clang-analyzer-core.NonNullParamChecker): argv[i] is a text for every i below argc
    auto is = [&](const char* option) { return std::strcmp(argv[i], option) == 0; };
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
    if (is("-all") && !passed_on) o->all = true;
    if (is(CM_ALL_CHILD_OPTION)) o->all_child = true;
    // One argument: a tag (it comes from the device) can never be read as an option.
    if (std::strncmp(argv[i], CM_OUT_TAG_OPTION, std::strlen(CM_OUT_TAG_OPTION)) == 0 && !passed_on)
      o->out_tag = argv[i] + std::strlen(CM_OUT_TAG_OPTION);
  }
  return CM_PARSE_CONTINUE;
}

int cmMain(int argc, const char* const* argv) {
  cmPrintBanner();
  if (argc <= 1) {
    cmPrintUsage();
    return kStatusError;
  }
  ST_OPTIONS o;
  int parsed = cmParseOptions(argc, argv, &o);
  if (parsed != CM_PARSE_CONTINUE) return parsed;
  if (o.all && !cmAllSupports(o.command)) {
    std::printf("[ERROR] -all works only with update, pill_upd, param_get, param_set, version, reboot, "
                "power_off and fact_reset\n");
    return kStatusError;
  }
  if (o.all_child) {
    // Started by -all: a stop request, or the run that started it gone, ends the command like a
    // lost line, after the frame being written.
    platform::CatchStopRequests([] { cmFwAppRequestStop(); });
    platform::CatchHangUps(true);
    if (o.out_tag) cmParamSetOutTag(o.out_tag);
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

  switch (o.command) {
    case CM_CMD_UPDATE: return StatusOf(cmFwUpCommand(port, o.fw_path));
    case CM_CMD_PARAMS: return StatusOf(cmParamConsole(port));
    case CM_CMD_PARAM_GET: return StatusOf(cmParamFileRun(port, o.settings_path, 1));
    case CM_CMD_PARAM_SET: return StatusOf(cmParamFileRun(port, o.settings_path, 0));
    case CM_CMD_VERSION: return StatusOf(cmVersionCommand(port));
    case CM_CMD_LOG: return StatusOf(cmLogRun(port, o.log_path, o.log_level));
    case CM_CMD_TRACER: return StatusOf(cmTracerRun(port, o.tracer_path));
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
