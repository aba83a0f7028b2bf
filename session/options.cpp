#include "session/options.h"

#include <cstring>

namespace {

const char* const kCommands[CM_CMD_NONE] = {
    "update", "params", "param_get", "param_set", "version", "msg_log", "log",
    "pill_upd", "tracer", "fact_reset", "power_off", "reboot", "date2pill", "list",
};

}  // namespace

int cmCommandLookup(const char* text) {
  for (int i = 0; i < CM_CMD_NONE; ++i)
    if (std::strncmp(text, kCommands[i], std::strlen(kCommands[i])) == 0) return i;
  return CM_CMD_NONE;
}

const char* cmCommandName(int command) { return command >= 0 && command < CM_CMD_NONE ? kCommands[command] : ""; }

const char* cmCommandFile(const ST_OPTIONS& o) {
  switch (o.command) {
    case CM_CMD_UPDATE: return o.fw_path;
    case CM_CMD_PILL_UPD: return o.pill_path;
    case CM_CMD_PARAM_SET: return o.settings_path;
    default: return nullptr;
  }
}
