// param_set and param_get: a batch of parameter-area requests from a settings file, one line
// after another; param_get writes what it read, in the same line syntax, to an output file
// named after the target's software version.
#include "params/param_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>

#include "cmbs/cmbs_ie.h"
#include "params/param_admin.h"
#include "platform/file_io.h"
#include "session/comport_find.h"
#include "session/console_text.h"
#include "session/service_record.h"

namespace {

uint16_t g_product_version = 0;  // of the connected target, for the output file name
std::string g_out_tag;            // set by a run over every repeater: that repeater's serial number
uint16_t g_build = 0;

bool IsComment(const char* line) {
  const auto first = static_cast<unsigned char>(line[0]);
  return first == '#' || first <= 0x20;
}

// "%d" as the line's ADDRESS: a sign and at least one digit. Returns the position after it.
const char* ReadSignedDecimal(const char* text, uint16_t* value) {
  const char* p = text;
  if (*p == '+' || *p == '-') ++p;
  if (*p < '0' || *p > '9') return nullptr;
  *value = static_cast<uint16_t>(cmParamDecimal(text));
  while (*p >= '0' && *p <= '9') ++p;
  return p;
}

// Waits for the answer to a request (rc: what sending it returned). True when it came and was
// a success; "\nError\n" when it did not come or the request could not be sent.
bool AwaitAnswer(PST_FWAPP_OBJ app, int rc) {
  std::fflush(stdout);
  if (!cmParamAwaitAnswer(app, rc)) {
    std::printf("\nError\n");
    cmReportSetReason(CM_REASON_NO_ANSWER);
    return false;
  }
  std::lock_guard lock(g_admin_param.mutex);
  if (g_admin_param.last_code != FWAPP_PARAM_FAILED) return true;
  cmReportSetReason(CM_REASON_REFUSED);
  return false;
}

// Echoes a line that asks for nothing: a comment as it is, a line in error after its reason.
// Such lines are skipped; one in error fails the batch (false).
bool EchoNonRequest(const ST_PARAM_LINE& parsed, const char* line) {
  if (parsed.kind == PARAM_LINE_WRONG_FORMAT)
    std::printf("\nWrong format: %c\n", parsed.format);
  else if (parsed.kind == PARAM_LINE_WRONG)
    std::printf("\nWrong line\n");
  std::printf("%s", line);
  if (parsed.kind == PARAM_LINE_COMMENT) return true;
  cmReportSetReason(CM_REASON_FILE);
  return false;
}

// Counts the lines of the settings file as its pieces are read: a piece that follows one
// without a newline continues the same line.
class LineCounter {
 public:
  int Next(const std::string& piece) {
    if (at_start_) ++number_;
    at_start_ = !piece.empty() && piece.back() == '\n';
    return number_;
  }

 private:
  int number_ = 0;
  bool at_start_ = true;
};

// Closes the settings file; false (and a message) when it could not be read to its end.
bool FinishReading(std::FILE* in, const char* settings_path) {
  const bool read = !std::ferror(in);
  (void)std::fclose(in);  // read only: nothing is lost
  if (!read) std::printf("ERROR: Couldn't read '%s'\n\n", settings_path);
  return read;
}

void ResetForRequest() {
  std::lock_guard lock(g_admin_param.mutex);
  g_admin_param.last_code = 0;
  g_admin_param.done_event->Reset();
}

}  // namespace

ST_PARAM_LINE cmParamParseLine(const char* line, bool is_get) {
  ST_PARAM_LINE parsed;
  if (IsComment(line)) {
    parsed.kind = PARAM_LINE_COMMENT;
    return parsed;
  }
  const char* p = line[1] == 'x' ? cmParamReadHex(line, &parsed.address) : ReadSignedDecimal(line, &parsed.address);
  if (!p || p[0] != ':' || p[1] == '\0') return parsed;  // ADDRESS ":" FORMAT does not read
  parsed.format = p[1];
  if (parsed.format != 'b' && parsed.format != 'w' && parsed.format != 'a') {
    parsed.kind = PARAM_LINE_WRONG_FORMAT;
    return parsed;
  }
  const char* second = std::strchr(p + 1, ':');
  if (!second) return parsed;  // no FIELD
  const char* field = second + 1;
  parsed.field = static_cast<size_t>(field - line);

  if (parsed.format == 'b') {
    parsed.length = 1;
    parsed.digits = 2;
  } else if (parsed.format == 'w') {
    parsed.length = 2;
    parsed.digits = 4;
  } else if (is_get) {
    parsed.length = static_cast<uint16_t>(cmParamDecimal(field));
  } else {
    // The digits run to the first ";" of the line, or to the line's end without one.
    const char* semicolon = std::strchr(line, ';');
    if (semicolon && semicolon < field) return parsed;
    const char* end = semicolon ? semicolon : field + std::strcspn(field, "\n");
    const size_t digits = static_cast<size_t>(end - field);
    if (digits == 0) return parsed;
    parsed.length = static_cast<uint16_t>((digits + 1) / 2);
    parsed.digits = semicolon ? digits : 2 * static_cast<size_t>(parsed.length);  // a half byte only before its ";"
  }
  parsed.kind = PARAM_LINE_REQUEST;
  return parsed;
}

bool cmParamReadLine(std::FILE* file, std::string* line) {
  line->clear();
  while (line->size() < PARAM_LINE_PIECE) {
    int c = std::getc(file);
    if (c == EOF) break;
    if (c == '\r') {
      int next = std::getc(file);
      if (next == '\n')
        c = '\n';
      else if (next != EOF)
        (void)std::ungetc(next, file);  // one character read just now always goes back
    }
    line->push_back(static_cast<char>(c));
    if (c == '\n') break;
  }
  return !line->empty();
}

std::string cmParamOutFileName(const std::string& settings_path, uint16_t product_version, uint16_t build,
                               const std::string& tag) {
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, "_%02X_%02X_%04X", product_version >> 8, product_version & 0xFF, build);
  return settings_path.substr(0, settings_path.find('.')) + suffix + (tag.empty() ? "" : "_" + tag) + ".out";
}

void cmParamSetOutTag(const std::string& tag) {
  g_out_tag = cmRepeaterSerialFileTag(tag);  // the tag comes from the device
}

bool cmParamFileCheck(const std::string& path, bool is_get, std::string* why) {
  std::FILE* in = std::fopen(path.c_str(), "r");
  if (!in) {
    *why = "settings file '" + path + "': " + std::generic_category().message(errno);
    return false;
  }
  std::string line, fault;
  LineCounter lines;
  while (fault.empty() && cmParamReadLine(in, &line)) {
    const int number = lines.Next(line);
    const ST_PARAM_LINE parsed = cmParamParseLine(line.c_str(), is_get);
    if (parsed.kind == PARAM_LINE_WRONG_FORMAT) {
      fault = std::string("wrong format '") + parsed.format + "'";
    } else if (parsed.kind == PARAM_LINE_WRONG) {
      fault = "wrong line";
    } else if (parsed.kind == PARAM_LINE_REQUEST && parsed.length > CMBS_PARAM_AREA_MAX) {
      fault = "length " + std::to_string(parsed.length) + " is above " + std::to_string(CMBS_PARAM_AREA_MAX);
    } else if (parsed.kind == PARAM_LINE_REQUEST && !is_get) {
      fault = cmParamHexRefusal(line.c_str() + parsed.field, parsed.digits);
    }
    if (!fault.empty()) fault.insert(0, "line " + std::to_string(number) + ": ");
  }
  const bool read = !std::ferror(in);
  (void)std::fclose(in);  // read only
  if (fault.empty() && !read) fault = "could not be read to its end";
  if (fault.empty()) return true;
  *why = "settings file '" + path + "' " + fault;
  return false;
}

int cmParamFileSet(PST_FWAPP_OBJ app, const char* settings_path) {
  std::FILE* in = std::fopen(settings_path, "r");
  const int open_error = errno;
  std::printf("OPEN: %s\n\n", settings_path);
  if (!in) {
    cmTellCannotOpen(settings_path, open_error);
    return -1;
  }

  ST_ADMIN_PARAM& admin = g_admin_param;
  ResetForRequest();
  bool all_done = true;
  std::string line;
  LineCounter lines;
  while (cmParamReadLine(in, &line)) {
    const int line_number = lines.Next(line);
    const char* text = line.c_str();
    const ST_PARAM_LINE parsed = cmParamParseLine(text, false);
    if (parsed.kind != PARAM_LINE_REQUEST) {
      if (!EchoNonRequest(parsed, text)) all_done = false;
      continue;
    }
    if (cmFwAppLineGone()) {  // nothing more can be sent: the batch is not done
      all_done = false;
      break;
    }
    const char* field = text + parsed.field;
    std::printf("adr %4d, len %2d Data: %s", parsed.address, parsed.length, field);
    // A typo must not reach the parameter area as zeros: such a line sends nothing.
    if (const std::string refusal = cmParamHexRefusal(field, parsed.digits); !refusal.empty()) {
      std::fflush(stdout);
      std::fprintf(stderr, "halvern: line %d: %s\n", line_number, refusal.c_str());
      cmReportSetReason(CM_REASON_FILE);
      all_done = false;
      continue;
    }
    {
      std::lock_guard lock(admin.mutex);
      cmParamHexDecode(field, parsed.length, admin.data);  // at most 128 bytes from one piece
    }
    ResetForRequest();
    int rc = cmFwAppParamSet(app, parsed.address, parsed.length, admin.data);
    if (!AwaitAnswer(app, rc)) all_done = false;
  }
  if (!FinishReading(in, settings_path)) all_done = false;
  return all_done ? 0 : -1;
}

int cmParamFileGet(PST_FWAPP_OBJ app, const char* settings_path) {
  const std::string out_name = cmParamOutFileName(settings_path, g_product_version, g_build, g_out_tag);
  std::FILE* in = std::fopen(settings_path, "r");
  if (!in) {
    const int open_error = errno;
    std::printf("ERROR: Couldn't open '%s'\n\n", settings_path);
    cmTellCannotOpen(settings_path, open_error);
    return -1;
  }
  std::printf("OPEN: %s => OUT: %s\n\n", settings_path, out_name.c_str());
  // An output file another run is writing is refused and left whole.
  std::FILE* out = platform::CreateHeldTextFile(out_name, nullptr);
  if (!out) {
    std::printf("ERROR: Couldn't create '%s'\n\n", out_name.c_str());
    (void)std::fclose(in);  // read only
    return -1;
  }

  ST_ADMIN_PARAM& admin = g_admin_param;
  {
    std::lock_guard lock(admin.mutex);
    admin.out_file = out;
  }
  ResetForRequest();
  bool all_done = true;
  std::string line;
  while (cmParamReadLine(in, &line)) {
    const char* text = line.c_str();
    const ST_PARAM_LINE parsed = cmParamParseLine(text, true);
    if (parsed.kind != PARAM_LINE_REQUEST) {
      if (!EchoNonRequest(parsed, text)) all_done = false;
      continue;
    }
    if (cmFwAppLineGone()) {  // nothing more can be sent: the batch is not done
      all_done = false;
      break;
    }
    std::printf("adr %4d, len %2d", parsed.address, parsed.length);
    {
      // The prefix (at most one piece long) and a NUL, then room for the answer.
      std::lock_guard lock(admin.mutex);
      std::memcpy(admin.data, text, parsed.field);
      admin.data[parsed.field] = 0;
      admin.prefix_length = static_cast<int32_t>(parsed.field);
      admin.shown_count = parsed.length;
    }
    ResetForRequest();
    int rc = cmFwAppParamGet(app, parsed.address, parsed.length, admin.data + parsed.field + 1);
    if (!AwaitAnswer(app, rc)) all_done = false;
    std::printf("\n");
  }
  if (!FinishReading(in, settings_path)) all_done = false;

  {
    std::lock_guard lock(admin.mutex);  // a late answer no longer writes to the file
    admin.out_file = nullptr;
  }
  const bool written = !std::ferror(out);
  if (std::fclose(out) != 0 || !written) {
    std::printf("ERROR: Couldn't write '%s'\n\n", out_name.c_str());
    all_done = false;
  }
  return all_done ? 0 : -1;
}

int cmParamFileRun(uint8_t port, const char* settings_path, int is_get) {
  if (!settings_path) {
    std::printf("File NOT defined\n");
    return -1;
  }
  PST_FWAPP_OBJ app = cmFwAppOpen(cmFwAppPortText(port).c_str(), 0, cmParamCallBack);
  if (!app) return -1;  // cmFwAppOpen has said why

  const ST_FWAPP_VERSION version = cmFwAppPrintVersion(app, true);
  g_product_version = version.product_version;
  g_build = version.build;

  platform::Event done("Admin Param", true);
  {
    std::lock_guard lock(g_admin_param.mutex);
    g_admin_param.done_event = &done;
    g_admin_param.out_file = nullptr;
  }
  int result = is_get ? cmParamFileGet(app, settings_path) : cmParamFileSet(app, settings_path);
  cmPrintRule();
  std::fflush(stdout);

  // No callback runs once the session is closed: only then may the event go.
  cmFwAppClose(app);
  std::lock_guard lock(g_admin_param.mutex);
  g_admin_param.done_event = nullptr;
  return result;
}
