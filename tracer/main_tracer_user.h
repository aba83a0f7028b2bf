// Logger commands and the message-ID table (module main_tracer_user).
//
// A logger command is the one significant line of the logger configuration file:
//   "a"            all tasks
//   "m,u,..."      a list of layer letters (comma-separated, one letter each)
//   "x<id>,<id>"   up to ten message ids to filter on
// Each accepted command goes to the target as one CMXX_EV_LOGGER_CONFIG_SET.
//
// Message ids are named by the built-in table (ids 0 to 132) or, when the name file exists,
// by the table loaded from it ("NAME, id" per line). The table is loaded and reloaded on the
// command thread while a filter command is checked; names are looked up on the receive thread.
#pragma once

#include <cstdint>
#include <string>

struct ST_MID_ENTRY {
  int32_t id;
  const char* name;  // none in the end entry
};

constexpr int MID_BUILTIN_COUNT = 133;
constexpr int LOGGER_FILTER_MAX = 10;          // message ids in a filter list
constexpr uint16_t LOGGER_MASK_ALL = 0x7FFF;
constexpr uint16_t LOGGER_MASK_FILTER = 0x8000;
constexpr uint16_t LOGGER_MASK_OFF = 0xFFFF;

// The layer letters and their mask bits, in bit order; the status display labels the same bits.
struct ST_LOGGER_LAYER {
  char letter;
  uint16_t bit;
  const char* label;
};
extern const ST_LOGGER_LAYER g_logger_layers[9];

// The request a logger command makes: its mask and, for a filter, the ten ids as sent.
// An empty layer list asks for nothing (send false).
struct ST_LOGGER_REQUEST {
  bool send = false;
  uint16_t mask = 0;
  uint8_t filter[4 * LOGGER_FILTER_MAX] = {};
};

// Checks the command, sends its request and returns 1; returns 0 (the reason printed,
// nothing sent) when the command is rejected.
int cmLoggerConfigure(const char* line);
int cmLoggerSetLayers(const char* line);
int cmLoggerSetMsgFilter(const char* list);
// The same checks without sending: 1 and the request filled in, or 0 with the reason printed.
// Lets a caller get ready for the packets (a file to hold them) before the logger starts.
int cmLoggerCheck(const char* line, ST_LOGGER_REQUEST* request);
int cmLoggerCheckLayers(const char* line, ST_LOGGER_REQUEST* request);
int cmLoggerCheckMsgFilter(const char* list, ST_LOGGER_REQUEST* request);
void cmLoggerSend(const ST_LOGGER_REQUEST& request);

// The current table (loaded or built-in), after bringing the loaded one up to date with the
// name file: loaded when the file appears, reloaded when its modification time changes,
// dropped when it disappears. Command thread only.
const ST_MID_ENTRY* cmMidTableGet();
// Reads the name file into a new loaded table: 0, or -1 (no loaded table then).
int cmMidTableLoad();
// Releases the loaded table; the built-in table serves afterwards.
void cmMidTableFree();
// The name of a message id from the current table ("Unknown" when it has none); never loads.
std::string cmMidName(int32_t id);
// Where the name file is: the path set with cmMidFileSetPath, else HALVERN_MID_FILE, else
// the system's fixed place.
std::string cmMidFilePath();
// Names the name file for this process (the trace reader's option); empty: back to the default.
// Set before any table is loaded.
void cmMidFileSetPath(const std::string& path);
// The built-in table, whatever the name file holds.
const ST_MID_ENTRY* cmMidTableBuiltin();

// One line of the name file: a name (up to 127 characters, no comma, blank or tab), optional
// white space, one or more commas, optional white space and a decimal id. False when the
// line does not have this form (such lines make no entry).
bool cmMidParseLine(const std::string& line, std::string* name, int32_t* id);
// A filter id as the command gives it: optional leading white space, an optional sign,
// decimal digits and nothing after them, within the signed 32-bit range.
bool cmLoggerParseId(const char* token, int32_t* id);
