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
#include "platform/console_out.h"
#include "platform/file_io.h"
#include "platform/path.h"
#include "session/comport_find.h"
#include "session/console_text.h"
#include "session/service_record.h"
#include "session/text_file.h"

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

// Echoes a line that asks for nothing: a comment as it is, a line in error after its reason
// (standard error names the line when that reason is not shown on standard output). Such lines
// are skipped; one in error fails the batch (false).
bool EchoNonRequest(const ST_PARAM_LINE& parsed, const char* line, int line_number) {
  if (parsed.kind == PARAM_LINE_WRONG_FORMAT) std::printf("\nWrong format: %c\n", parsed.format);
  std::printf("%s", line);
  if (parsed.kind == PARAM_LINE_COMMENT) return true;
  if (parsed.kind == PARAM_LINE_WRONG) cmTell("line %d: wrong line", line_number);
  cmReportSetReason(CM_REASON_FILE);
  return false;
}

// Why a line too long for one piece is refused whole: a part of it would be a request nobody
// wrote. Nothing of such a line shows on standard output.
std::string TooLong() { return "longer than " + std::to_string(PARAM_LINE_PIECE - 1) + " characters"; }

void RefuseLongLine(int line_number) {
  cmReportSetReason(CM_REASON_FILE);
  cmTell("line %d: %s: left out", line_number, TooLong().c_str());
}

// Closes the settings file; false (and a message) when it could not be read to its end.
bool FinishReading(std::FILE* in, const char* settings_path, int error) {
  const bool read = !std::ferror(in);
  (void)std::fclose(in);  // read only: nothing is lost
  if (!read) cmTellCannotRead(settings_path, error);
  return read;
}

// Reads and drops the rest of a line, its newline included, however long it is.
void SkipRestOfLine(std::FILE* file) {
  (void)std::fscanf(file, "%*[^\n]");  // nothing is stored
  (void)std::getc(file);               // the newline, or the end of the file
}

// True when nothing follows in the file.
bool FileAtEnd(std::FILE* file) {
  const int c = std::getc(file);
  if (c == EOF) return true;
  (void)std::ungetc(c, file);  // one character read just now always goes back
  return false;
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

bool ParamLineReader::Next(std::string* text, PARAM_READ_KIND* kind) {
  if (!cmParamReadLine(file_, text)) {
    if (std::ferror(file_)) error_ = errno;  // as the failed read left it
    return false;
  }
  const bool line_ends = text->back() == '\n';
  if (in_comment_) {
    in_comment_ = !line_ends;
    *kind = PARAM_READ_COMMENT_PIECE;
    return true;
  }
  ++number_;
  // A piece ends short of its full size only at the end of the file.
  if (line_ends || text->size() < PARAM_LINE_PIECE || FileAtEnd(file_)) {
    *kind = PARAM_READ_LINE;
  } else if (IsComment(text->c_str())) {
    in_comment_ = true;
    *kind = PARAM_READ_COMMENT_PIECE;
  } else {
    SkipRestOfLine(file_);
    *kind = PARAM_READ_TOO_LONG;
  }
  return true;
}

std::string cmParamOutFileName(const std::string& settings_path, uint16_t product_version, uint16_t build,
                               const std::string& tag) {
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, "_%02X_%02X_%04X", product_version >> 8, product_version & 0xFF, build);
  // A "." in a folder's name is not the file name's: the output file stays beside its settings file.
  const size_t folder_end = settings_path.find_last_of(platform::PathSeparators());
  const size_t name = folder_end == std::string::npos ? 0 : folder_end + 1;
  return settings_path.substr(0, settings_path.find('.', name)) + suffix + (tag.empty() ? "" : "_" + tag) + ".out";
}

void cmParamSetOutTag(const std::string& tag) {
  g_out_tag = cmRepeaterSerialFileTag(tag);  // the tag comes from the device
}

bool cmParamFileCheck(const std::string& path, bool is_get, std::string* why) {
  TEXT_OPEN_RESULT opened = TEXT_OPEN_OK;
  std::FILE* in = cmTextFileOpen(path.c_str(), "r", &opened);
  if (opened == TEXT_OPEN_UTF16) {
    *why = cmTextUtf16Refusal(path.c_str());
    return false;
  }
  if (!in) {
    *why = "settings file '" + path + "': " + std::generic_category().message(errno);
    return false;
  }
  std::string line, fault;
  ParamLineReader reader(in);
  PARAM_READ_KIND kind = PARAM_READ_LINE;
  while (fault.empty() && reader.Next(&line, &kind)) {
    if (kind == PARAM_READ_COMMENT_PIECE) continue;
    const ST_PARAM_LINE parsed = cmParamParseLine(line.c_str(), is_get);
    if (kind == PARAM_READ_TOO_LONG) {
      fault = TooLong();
    } else if (parsed.kind == PARAM_LINE_WRONG_FORMAT) {
      fault = std::string("wrong format '") + parsed.format + "'";
    } else if (parsed.kind == PARAM_LINE_WRONG) {
      fault = "wrong line";
    } else if (parsed.kind == PARAM_LINE_REQUEST && parsed.length > CMBS_PARAM_AREA_MAX) {
      fault = "length " + std::to_string(parsed.length) + " is above " + std::to_string(CMBS_PARAM_AREA_MAX);
    } else if (parsed.kind == PARAM_LINE_REQUEST && !is_get) {
      fault = cmParamHexRefusal(line.c_str() + parsed.field, parsed.digits);
    }
    if (!fault.empty()) fault.insert(0, "line " + std::to_string(reader.LineNumber()) + ": ");
  }
  const bool read = !std::ferror(in);
  (void)std::fclose(in);  // read only
  if (fault.empty() && !read) fault = "could not be read to its end";
  if (fault.empty()) return true;
  *why = "settings file '" + path + "' " + fault;
  return false;
}

int cmParamFileSet(PST_FWAPP_OBJ app, const char* settings_path) {
  TEXT_OPEN_RESULT opened = TEXT_OPEN_OK;
  std::FILE* in = cmTextFileOpen(settings_path, "r", &opened);
  const int open_error = errno;
  platform::PrintText(stdout, "OPEN: %s\n\n", settings_path);
  if (!in) {
    if (opened == TEXT_OPEN_UTF16)
      cmTellUtf16(settings_path);
    else
      cmTellCannotOpen(settings_path, open_error);
    return -1;
  }

  ST_ADMIN_PARAM& admin = g_admin_param;
  ResetForRequest();
  bool all_done = true;
  std::string line;
  ParamLineReader reader(in);
  PARAM_READ_KIND kind = PARAM_READ_LINE;
  while (reader.Next(&line, &kind)) {
    const int line_number = reader.LineNumber();
    const char* text = line.c_str();
    if (kind == PARAM_READ_COMMENT_PIECE) {
      std::printf("%s", text);
      continue;
    }
    if (kind == PARAM_READ_TOO_LONG) {
      RefuseLongLine(line_number);
      all_done = false;
      continue;
    }
    const ST_PARAM_LINE parsed = cmParamParseLine(text, false);
    if (parsed.kind != PARAM_LINE_REQUEST) {
      if (!EchoNonRequest(parsed, text, line_number)) all_done = false;
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
      platform::PrintText(stderr, "halvern: line %d: %s\n", line_number, refusal.c_str());
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
  if (!FinishReading(in, settings_path, reader.Error())) all_done = false;
  return all_done ? 0 : -1;
}

int cmParamFileGet(PST_FWAPP_OBJ app, const char* settings_path) {
  const std::string out_name = cmParamOutFileName(settings_path, g_product_version, g_build, g_out_tag);
  TEXT_OPEN_RESULT opened = TEXT_OPEN_OK;
  std::FILE* in = cmTextFileOpen(settings_path, "r", &opened);
  if (!in) {
    const int open_error = errno;
    platform::PrintText(stdout, "ERROR: Couldn't open '%s'\n\n", settings_path);
    if (opened == TEXT_OPEN_UTF16)
      cmTellUtf16(settings_path);
    else
      cmTellCannotOpen(settings_path, open_error);
    return -1;
  }
  platform::PrintText(stdout, "OPEN: %s => OUT: %s\n\n", settings_path, out_name.c_str());
  // An output file another run is writing is refused and left whole.
  int create_error = 0;
  std::FILE* out = platform::CreateHeldTextFile(out_name, &create_error);
  if (!out) {
    cmTellCannotCreate(out_name.c_str(), create_error);
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
  ParamLineReader reader(in);
  PARAM_READ_KIND kind = PARAM_READ_LINE;
  while (reader.Next(&line, &kind)) {
    const char* text = line.c_str();
    if (kind == PARAM_READ_COMMENT_PIECE) {
      std::printf("%s", text);
      continue;
    }
    if (kind == PARAM_READ_TOO_LONG) {
      RefuseLongLine(reader.LineNumber());
      all_done = false;
      continue;
    }
    const ST_PARAM_LINE parsed = cmParamParseLine(text, true);
    if (parsed.kind != PARAM_LINE_REQUEST) {
      if (!EchoNonRequest(parsed, text, reader.LineNumber())) all_done = false;
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
  if (!FinishReading(in, settings_path, reader.Error())) all_done = false;

  {
    std::lock_guard lock(admin.mutex);  // a late answer no longer writes to the file
    admin.out_file = nullptr;
  }
  const bool written = !std::ferror(out);
  errno = 0;
  const bool closed = std::fclose(out) == 0;
  const int write_error = errno;  // of the last writes, which the close makes
  if (!closed || !written) {
    cmTellCannotWrite(out_name.c_str(), write_error);
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
