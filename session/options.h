// What a command line asks for: the command table and the options as parsed. Shared by the
// command line and the runs over several repeaters, which hand each child its own options.
#pragma once

#include <cstdint>
#include <vector>

enum CM_COMMAND : int {
  CM_CMD_UPDATE = 0,
  CM_CMD_PARAMS,
  CM_CMD_PARAM_GET,
  CM_CMD_PARAM_SET,
  CM_CMD_VERSION,
  CM_CMD_MSG_LOG,
  CM_CMD_LOG,
  CM_CMD_PILL_UPD,
  CM_CMD_TRACER,
  CM_CMD_FACT_RESET,
  CM_CMD_POWER_OFF,
  CM_CMD_REBOOT,
  CM_CMD_DATE2PILL,
  CM_CMD_LIST,
  CM_CMD_NONE,  // no or unknown command
};

struct ST_OPTIONS {
  int product = -1;  // index into g_products, -1 when unknown or not given
  int command = CM_CMD_NONE;
  const char* fw_path = nullptr;
  const char* settings_path = nullptr;
  const char* tracer_path = nullptr;
  const char* log_path = nullptr;
  int log_level = -1;
  uint8_t language = 255;  // 255: not given
  const char* pill_path = nullptr;
  const char* pill_date = nullptr;
  int port = 0;                  // -port N: the repeater on COM N (0: any)
  const char* serial = nullptr;  // -sn SERIAL: the repeater with this USB serial number
  bool verify = false;            // -verify (or -expect): update checks the version after the restart
  const char* expect = nullptr;   // -expect VERSION; "" when the value is missing
  bool all = false;               // -all: on every attached repeater at once
  bool watch = false;             // -watch: on each repeater as it is plugged in
  bool all_child = false;         // (hidden) run by -all: a stop request ends the command cleanly
  const char* out_tag = nullptr;  // (hidden) run by -all: param_get's output name gets this tag
  const char* report_path = nullptr;  // -report FILE: a service record per repeater served
  const char* on_done = nullptr;      // -ondone COMMAND: run by -all and -watch after each service
  const char* log_dir = nullptr;      // -logdir DIR: each service's console output in a file of its own
  bool skip_current = false;          // -skipcurrent: with -expect, a repeater on that version is left as it is
  const char* trace_dir = nullptr;    // -tdir DIR: the tracer's trace file goes into DIR (null: the current folder)
  const char* http = nullptr;         // -http [ADDR:]PORT: the station serves its page there
  // Positions in argv of the options the run over several repeaters carries out itself (and of
  // their values): they are left out of its children's arguments.
  std::vector<int> parent_only;
};

// The hidden options a run over every repeater gives each child, ahead of the user's arguments:
// "-port N", then the output tag as one argument "-outtag=TAG", then "-allchild", which ends them.
constexpr const char* CM_OUT_TAG_OPTION = "-outtag=";
constexpr const char* CM_ALL_CHILD_OPTION = "-allchild";
// Set to "1" in a child's environment by the run that starts it: only then are those leading
// options read, so that a user cannot give them.
constexpr const char* CM_CHILD_ENV = "HALVERN_STATION_CHILD";

// The command named by the start of text (table order decides); CM_CMD_NONE for none.
int cmCommandLookup(const char* text);
// The keyword of a command ("update"); "" for none.
const char* cmCommandName(int command);
// The file a command sends (or, for param_set, reads) as given; null for the others.
const char* cmCommandFile(const ST_OPTIONS& options);
