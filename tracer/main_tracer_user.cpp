// Logger commands and the message-ID table (module main_tracer_user).
#include "tracer/main_tracer_user.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "cmbs/cmbs_dsr.h"
#include "platform/file_io.h"
#include "session/console_text.h"
#include "session/text_file.h"
#include "tracer/tracer_out.h"

namespace {

const char* const kModule = "main_tracer_user";

const char* const kBuiltinNames[MID_BUILTIN_COUNT] = {
    "MID_DEBUG_OUT", "MID_COM_EVENT", "MID_KEYSTROKE", "MID_TIMER_ALERT", "MID_IWU_LLME_SCAN",
    "MID_IWU_LLME_FOUND_ID", "MID_IWU_LLME_LOCK", "MID_IWU_LLME_LOCKED_ID", "MID_IWU_LLME_UNLOCKED",
    "MID_IWU_LLME_U_CON_TONE",
    "MID_IWU_LLME_U_CON_EXT", "MID_IWU_LLME_U_CON_INT", "MID_IWU_LLME_U_CONFERENCE", "MID_IWU_LLME_TUNE_CRYSTAL",
    "MID_IWU_LLME_TUNE_MODU", "MID_IWU_LLME_TESTMODE", "MID_IWU_LLME_BASE_ASSOCIATED", "MID_NWK_LLME_START",
    "MID_NWK_LLME_ENC_KEY_REQ", "MID_NWK_LLME_ENC_EKS_REQ",
    "MID_MAC_LLME_ENC_EKS_IND", "MID_NWK_LLME_PAGE_REQ", "MID_MAC_LLME_PAGE_IND", "MID_MAC_LLME_RPN_CHANGED",
    "MID_MAC_LLME_SCANNING_CARRIER", "MID_MAC_PM_INFO", "MID_TBC_BEARER_RELEASE_IND",
    "MID_TBC_BEARER_ESTABLISHED_IND", "MID_TBC_ENCRYPT_IND", "MID_TBC_DBC_REQ",
    "MID_TBC_DBC_IND", "MID_TBC_HO_BEARER_ESTABLISHED_IND", "MID_TBC_HO_REQUEST", "MID_TBC_HO_DECISION_REQ",
    "MID_TBC_TESTMESSAGE", "MID_TBC_START_RSSI_SCAN", "MID_TBC_INIT_SMART_OPTILOCK", "MID_TBC_SCANDATA",
    "MID_TBC_OPTILOCK", "MID_TBC_SCANDATA_DUMMY",
    "MID_TBC_FASTSYNC_DATA", "MID_MAC_CON_REQ", "MID_MAC_CON_IND", "MID_MAC_CON_CFM", "MID_MAC_CO_DTR_IND",
    "MID_MAC_CO_DATA_REQ", "MID_MAC_CO_DATA_IND", "MID_MAC_DIS_REQ", "MID_MAC_DIS_IND", "MID_DLC_ESTABLISH_REQ",
    "MID_DLC_ESTABLISH_IND", "MID_DLC_ESTABLISH_CFM", "MID_DLC_RELEASE_REQ", "MID_DLC_RELEASE_IND",
    "MID_DLC_RELEASE_CFM", "MID_DLC_DATA_REQ", "MID_DLC_DATA_IND", "MID_DB_GET_DATA_REQ", "MID_DB_PUT_DATA_REQ",
    "MID_DB_DATA_ACK",
    "MID_DB_DATA_REJ", "MID_IWU_START", "MID_IWU_INFO", "MID_IWU_APP_INFO", "MID_IWU_MM_ADD_PP",
    "MID_IWU_MM_ADD_PP_SUC", "MID_IWU_MM_ADD_PP_ACK", "MID_IWU_MM_DEL_PP", "MID_IWU_MM_DEL_PP_ACK",
    "MID_IWU_MM_ADD_FP",
    "MID_IWU_MM_ADD_FP_ACK", "MID_IWU_MM_DEL_FP", "MID_IWU_MM_STD_FP", "MID_IWU_MM_STD_FP_ACK", "MID_IWU_MM_ACCESS",
    "MID_IWU_MM_LOCATE", "MID_IWU_MM_LOCATE_ACK", "MID_IWU_MM_DBSYNC", "MID_IWU_MM_USER_AUTH",
    "MID_IWU_MM_USER_AUTH_ACK",
    "MID_IWU_CC_PAGE", "MID_IWU_CC_PAGE_ACK", "MID_IWU_CC_DLESTABLISH", "MID_IWU_CC_SETUP", "MID_IWU_CC_PROGRESS",
    "MID_IWU_CC_CONNECT", "MID_IWU_CC_CONNECT_ACK", "MID_IWU_CC_RELEASE", "MID_IWU_CC_RELEASE_COM",
    "MID_IWU_CC_ALERT",
    "MID_IWU_CC_LOCKED_ID", "MID_IWU_CC_GR_ALERT", "MID_IWU_CC_GR_ALERT_STOP", "MID_IWU_LLME_UNLOCKED_ID",
    "MID_IWU_LLME_AUTOLOAD_IND", "MID_IWU_LLME_AUTOLOAD_REJ", "MID_IWU_LLME_CRFP_START", "MID_IWU_LLME_U_CON_REP",
    "MID_MAC_LLME_PT_RELAY_REQ", "MID_LLME_QUALITY_IND",
    "MID_LLME_RELAY_CON_ACTIVE", "MID_LLME_FRAME_TRACE", "MID_LLME_SLOT_RSSISCAN_COMPLETED", "MID_LLME_INFO",
    "MID_LLME_BATTERY_INFO", "MID_DRV_AUDIO_INFO", "MID_DRV_AUDIO_COMPLETION", "MID_LLME_CHARGE_INFO",
    "MID_IWU_LLME_U_DATA", "MID_IWU_LLME_U_DATA_DTR",
    "MID_IWU_LLME_U_DATA_REL", "MID_DLU_U_DATA_REQ", "MID_DLU_U_DATA_CFM", "MID_DLU_U_DATA_IND",
    "MID_DLU_U_DATA_RSP", "MID_MAC_U_DATA_IND", "MID_MAC_U_DATA_CFM", "MID_MAC_U_DATA_DTR", "MID_DRV_DTMF_IND",
    "MID_IWU_CALL_INFO",
    "MID_FXS_OFFHOOK", "MID_FXS_ONHOOK", "MID_FXS_FLASH", "MID_FXS_RINGING", "MID_FXS_CLIP_INFO",
    "MID_IWU_LLME_AUDIO_AVAILABLE", "MID_IWU_CC_OVERLAP_DIALING", "MID_DRV_AUDIO_CPD_EVENT",
    "MID_DRV_AUDIO_BUSY_TONE_DETECTED", "MID_IWU_LINK_ESTABLISH",
    "MID_IWU_LINK_RELEASE", "MID_IWU_LINK_ACCEPT", "MID_IWU_LLME_SUBCRIPTION_RESET",
};

struct BuiltinTable {
  ST_MID_ENTRY entries[MID_BUILTIN_COUNT + 1];
  BuiltinTable() {
    for (int i = 0; i < MID_BUILTIN_COUNT; ++i) entries[i] = {i, kBuiltinNames[i]};
    entries[MID_BUILTIN_COUNT] = {0, nullptr};
  }
};

const ST_MID_ENTRY* Builtin() {
  static const BuiltinTable table;
  return table.entries;
}

// A table read from the name file; it owns its names.
struct LoadedTable {
  std::vector<std::string> names;
  std::vector<ST_MID_ENTRY> entries;  // closed by the end entry
  int64_t modified = 0;               // the file's modification time when it was read
};

// The loaded table. Replaced only on the command thread; the lock keeps a name lookup on the
// receive thread from reading a table that is being replaced. Never destroyed, so a lookup
// during the program's end finds it still there.
struct MidState {
  std::mutex mutex;
  std::unique_ptr<LoadedTable> loaded;
};

MidState& Mid() {
  static MidState* const state = new MidState;
  return *state;
}

const ST_MID_ENTRY* Current(const MidState& s) { return s.loaded ? s.loaded->entries.data() : Builtin(); }

bool InTable(const ST_MID_ENTRY* table, int32_t id) {
  for (const ST_MID_ENTRY* e = table; e->name; ++e)
    if (e->id == id) return true;
  return false;
}

// Tokens at commas; runs of commas and commas at either end make no empty tokens.
std::vector<std::string> SplitAtCommas(const char* text) {
  std::vector<std::string> tokens;
  const char* p = text;
  while (*p) {
    while (*p == ',') ++p;
    const char* start = p;
    while (*p && *p != ',') ++p;
    if (p > start) tokens.emplace_back(start, p);
  }
  return tokens;
}

bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// A decimal id with an optional sign at *p, within 32 bits; *p is left behind its digits.
bool ReadSignedId(const char** p, int32_t* id) {
  const char* q = *p;
  bool negative = false;
  if (*q == '+' || *q == '-') negative = *q++ == '-';
  if (!std::isdigit(static_cast<unsigned char>(*q))) return false;
  int64_t value = 0;
  for (; std::isdigit(static_cast<unsigned char>(*q)); ++q) {
    value = value * 10 + (*q - '0');
    if (value > static_cast<int64_t>(INT32_MAX) + 1) return false;
  }
  if (negative) value = -value;
  if (value > INT32_MAX || value < INT32_MIN) return false;
  *id = static_cast<int32_t>(value);
  *p = q;
  return true;
}

void PutLe32(uint8_t* at, int32_t value) {
  const auto v = static_cast<uint32_t>(value);
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

const ST_LOGGER_LAYER g_logger_layers[9] = {
    {'m', 0x0001, "MAC_TASK"}, {'u', 0x0002, "DLU_TASK"},  {'d', 0x0004, "DLC_TASK"},
    {'n', 0x0008, "NWK_TASK"}, {'i', 0x0010, "IWU_TASK"},  {'r', 0x0020, "REP_TASK"},
    {'b', 0x0040, "DTB_TASK"}, {'t', 0x0080, "TERM_TASK"}, {'c', 0x0100, "CMBS_TASK"},
};

int cmLoggerCheck(const char* line, ST_LOGGER_REQUEST* request) {
  if (!line) return 0;
  *request = ST_LOGGER_REQUEST{};
  if (line[0] == 'x') return cmLoggerCheckMsgFilter(line + 1, request);
  if (std::strcmp(line, "a") == 0) {
    request->send = true;
    request->mask = LOGGER_MASK_ALL;
    return 1;
  }
  return cmLoggerCheckLayers(line, request);
}

void cmLoggerSend(const ST_LOGGER_REQUEST& request) {
  if (!request.send) return;
  if (request.mask == LOGGER_MASK_FILTER)
    cmbs_dsr_logger_ConfigSet(nullptr, 1, request.mask, request.filter, sizeof request.filter);
  else
    cmbs_dsr_logger_ConfigSet(nullptr, 1, request.mask, nullptr, 0);
}

int cmLoggerConfigure(const char* line) {
  ST_LOGGER_REQUEST request;
  if (!cmLoggerCheck(line, &request)) return 0;
  cmLoggerSend(request);
  return 1;
}

int cmLoggerSetLayers(const char* line) {
  ST_LOGGER_REQUEST request;
  if (!cmLoggerCheckLayers(line, &request)) return 0;
  cmLoggerSend(request);
  return 1;
}

int cmLoggerSetMsgFilter(const char* list) {
  ST_LOGGER_REQUEST request;
  if (!cmLoggerCheckMsgFilter(list, &request)) return 0;
  cmLoggerSend(request);
  return 1;
}

int cmLoggerCheckLayers(const char* line, ST_LOGGER_REQUEST* request) {
  *request = ST_LOGGER_REQUEST{};
  const std::string whole = line ? line : "";  // for the messages
  const std::vector<std::string> tokens = SplitAtCommas(whole.c_str());
  if (tokens.empty()) return 1;  // nothing to change on the target
  uint16_t mask = 0;
  for (const std::string& token : tokens) {
    if (token == "a" || token == "x") {
      cmTracerOut("%s, %d: [ERROR]: Invalid command=%s. \"%c\" option cannot be selected with other layers\n",
                  kModule, 731, whole.c_str(), token[0]);
      return 0;
    }
    const ST_LOGGER_LAYER* layer = nullptr;
    if (token.size() == 1)
      for (const ST_LOGGER_LAYER& l : g_logger_layers)
        if (l.letter == token[0]) layer = &l;
    if (!layer) {
      cmTracerOut("%s, %d: [ERROR]: Unknown parameter \"%s\"\n", kModule, 741, token.c_str());
      return 0;
    }
    mask = static_cast<uint16_t>(mask | layer->bit);
  }
  request->send = true;
  request->mask = mask;
  return 1;
}

bool cmLoggerParseId(const char* token, int32_t* id) {
  const char* p = token;
  while (IsSpace(*p)) ++p;
  return ReadSignedId(&p, id) && *p == '\0';
}

int cmLoggerCheckMsgFilter(const char* list, ST_LOGGER_REQUEST* request) {
  *request = ST_LOGGER_REQUEST{};
  if (!list || !*list) {
    cmTracerOut("%s, %d: [ERROR]: Zero messages configured. You must configure which messages should be filtered!\n",
                kModule, 572);
    return 0;
  }
  const ST_MID_ENTRY* table = cmMidTableGet();
  int32_t ids[LOGGER_FILTER_MAX];
  for (int32_t& id : ids) id = -1;
  int taken = 0;
  for (const std::string& token : SplitAtCommas(list)) {
    if (taken == LOGGER_FILTER_MAX) break;  // further ids are not looked at
    int32_t id = 0;
    bool good = cmLoggerParseId(token.c_str(), &id) && id >= 0 && InTable(table, id);
    for (int i = 0; good && i < taken; ++i) good = ids[i] != id;
    if (!good) {
      cmTracerOut("%s, %d: [ERROR]: Invalid parameter \"%s\". Either failed to convert it to integer or it is "
                  "repeated, or it is not supported by the app!\n",
                  kModule, 626, token.c_str());
      return 0;
    }
    ids[taken++] = id;
  }
  for (int i = 0; i < LOGGER_FILTER_MAX; ++i) PutLe32(request->filter + 4 * static_cast<size_t>(i), ids[i]);
  request->send = true;
  request->mask = LOGGER_MASK_FILTER;
  return 1;
}

namespace {

// The name file named for this process; empty when none was.
std::string& MidFileOverride() {
  static std::string* const path = new std::string;
  return *path;
}

}  // namespace

void cmMidFileSetPath(const std::string& path) { MidFileOverride() = path; }

const ST_MID_ENTRY* cmMidTableBuiltin() { return Builtin(); }

std::string cmMidFilePath() {
  if (!MidFileOverride().empty()) return MidFileOverride();
  const char* path = std::getenv("HALVERN_MID_FILE");
  return path && *path ? path : platform::DefaultMidFilePath();
}

bool cmMidParseLine(const std::string& line, std::string* name, int32_t* id) {
  const char* p = line.c_str();  // the line ends at a NUL byte, as a C text would
  const char* start = p;
  while (*p && *p != ',' && *p != ' ' && *p != '\t') ++p;
  const size_t length = static_cast<size_t>(p - start);
  if (length == 0 || length > 127) return false;
  while (IsSpace(*p)) ++p;
  if (*p != ',') return false;
  while (*p == ',') ++p;
  while (IsSpace(*p)) ++p;
  int32_t value = 0;
  if (!ReadSignedId(&p, &value)) return false;
  // Whatever follows the id is not looked at.
  name->assign(start, length);
  *id = value;
  return true;
}

int cmMidTableLoad() {
  const std::string path = cmMidFilePath();
  errno = 0;
  TEXT_OPEN_RESULT opened = TEXT_OPEN_OK;
  std::FILE* file = cmTextFileOpen(path.c_str(), "rb", &opened);
  if (!file) {
    const int error = errno;
    cmTracerOut("[ERROR]: Opening the text file=%s\n", path.c_str());
    if (opened == TEXT_OPEN_UTF16)
      cmTellUtf16(path.c_str());
    else
      cmTellCannotOpen(path.c_str(), error);
    return -1;
  }
  std::unique_ptr<LoadedTable> table;
  std::string pending_name;  // for the message when a name cannot be kept
  try {
    table = std::make_unique<LoadedTable>();
    std::string line, name;
    bool more = true;
    while (more) {
      line.clear();
      int c;
      while ((c = std::fgetc(file)) != EOF && c != '\n') line.push_back(static_cast<char>(c));
      more = c != EOF;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty() && !more) break;
      int32_t id = 0;
      if (!cmMidParseLine(line, &name, &id)) continue;  // not a "NAME, id" line: no entry
      pending_name = name;
      table->names.push_back(name);
      table->entries.push_back({id, nullptr});
    }
    pending_name.clear();
    table->entries.push_back({0, nullptr});
    for (size_t i = 0; i < table->names.size(); ++i) table->entries[i].name = table->names[i].c_str();
  } catch (const std::bad_alloc&) {
    if (!pending_name.empty())
      cmTracerOut("[ERROR]: Failed to reallocate memory for the new MidStr=%s\n", pending_name.c_str());
    else
      cmTracerOut("[ERROR]: Failed to reallocate memory for the new entry\n");
    (void)std::fclose(file);  // read only: nothing is lost
    return -1;
  }
  // A file that opens but cannot be read (a directory, an I/O error) counts as one that does
  // not open: an empty or partial table would reject ids the file may well list.
  if (std::ferror(file)) {
    const int error = errno;
    (void)std::fclose(file);  // read only: nothing is lost
    cmTracerOut("[ERROR]: Opening the text file=%s\n", path.c_str());
    cmTellCannotRead(path.c_str(), error);
    return -1;
  }
  platform::FileModifiedTime(path, &table->modified);
  (void)std::fclose(file);
  MidState& s = Mid();
  std::lock_guard lock(s.mutex);
  s.loaded = std::move(table);
  return 0;
}

void cmMidTableFree() {
  std::unique_ptr<LoadedTable> old;  // destroyed after lock: the table is freed unlocked
  MidState& s = Mid();
  std::lock_guard lock(s.mutex);
  // cppcheck-suppress unreadVariable ; taking the table out of the state is the point
  old = std::move(s.loaded);
}

const ST_MID_ENTRY* cmMidTableGet() {
  MidState& s = Mid();
  int64_t modified = 0;
  if (!platform::FileModifiedTime(cmMidFilePath(), &modified)) {
    cmMidTableFree();
    return Builtin();
  }
  {
    std::lock_guard lock(s.mutex);
    if (s.loaded && s.loaded->modified == modified) return Current(s);
  }
  cmMidTableFree();
  cmMidTableLoad();
  std::lock_guard lock(s.mutex);
  return Current(s);
}

std::string cmMidName(int32_t id) {
  MidState& s = Mid();
  std::lock_guard lock(s.mutex);
  for (const ST_MID_ENTRY* e = Current(s); e->name; ++e)
    if (e->id == id) return e->name;
  return "Unknown";
}
