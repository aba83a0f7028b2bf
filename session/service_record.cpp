#include "session/service_record.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <random>

#include "platform/append_file.h"
#include "platform/console_out.h"
#include "session/parent_notes.h"
#include "session/sha256.h"
#include "session/version.h"

namespace {

// Length of the valid UTF-8 character at s[i], 0 when the byte there does not start one.
size_t Utf8Length(const std::string& s, size_t i) {
  const auto at = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = at(i);
  // Lead byte: the character's length, the smallest code point it may carry, its payload bits.
  size_t n = 0;
  uint32_t min = 0, code = 0;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2, min = 0x80, code = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3, min = 0x800, code = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4, min = 0x10000, code = c & 0x07;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((at(i + k) & 0xC0) != 0x80) return 0;
    code = code << 6 | (at(i + k) & 0x3F);
  }
  const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
  return code < min || code > 0x10FFFF || surrogate ? 0 : n;
}

// The two-character escape JSON has for c, null when it has none.
const char* ShortEscape(unsigned char c) {
  switch (c) {
    case '"': return "\\\"";
    case '\\': return "\\\\";
    case '\n': return "\\n";
    case '\r': return "\\r";
    case '\t': return "\\t";
    case '\b': return "\\b";
    case '\f': return "\\f";
    default: return nullptr;
  }
}

void Field(std::string* out, const char* name, const std::string& json) {
  if (out->size() > 1) *out += ',';
  *out += '"';
  *out += name;
  *out += "\":";
  *out += json;
}

std::string Text(const std::optional<std::string>& v) { return v ? cmJsonString(*v) : "null"; }
std::string Number(const std::optional<uint64_t>& v) { return v ? std::to_string(*v) : "null"; }

// A reader of the one-level JSON objects records are: text, numbers, null, true and false.
class JsonReader {
 public:
  explicit JsonReader(const std::string& text) : s_(text) {}

  void Blanks() {
    while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\n' || s_[at_] == '\r')) ++at_;
  }
  bool Take(char c) {
    Blanks();
    if (at_ >= s_.size() || s_[at_] != c) return false;
    ++at_;
    return true;
  }
  bool AtEnd() {
    Blanks();
    return at_ == s_.size();
  }
  char Peek() {
    Blanks();
    return at_ < s_.size() ? s_[at_] : '\0';
  }
  bool Word(const char* word) {
    const size_t n = std::strlen(word);
    if (s_.compare(at_, n, word) != 0) return false;
    at_ += n;
    return true;
  }

  bool String(std::string* out) {
    if (!Take('"')) return false;
    out->clear();
    while (at_ < s_.size()) {
      const unsigned char c = static_cast<unsigned char>(s_[at_++]);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c != '\\') {
        *out += static_cast<char>(c);
        continue;
      }
      if (at_ >= s_.size()) return false;
      const char e = s_[at_++];
      switch (e) {
        case '"': *out += '"'; break;
        case '\\': *out += '\\'; break;
        case '/': *out += '/'; break;
        case 'b': *out += '\b'; break;
        case 'f': *out += '\f'; break;
        case 'n': *out += '\n'; break;
        case 'r': *out += '\r'; break;
        case 't': *out += '\t'; break;
        case 'u':
          if (!Unicode(out)) return false;
          break;
        default: return false;
      }
    }
    return false;  // no closing quote
  }

  // A number as its text: -?digits[.digits][e[+-]digits].
  bool Number(std::string* out) {
    Blanks();
    const size_t from = at_;
    if (at_ < s_.size() && s_[at_] == '-') ++at_;
    if (!Digits()) return false;
    if (at_ < s_.size() && s_[at_] == '.') {
      ++at_;
      if (!Digits()) return false;
    }
    if (at_ < s_.size() && (s_[at_] == 'e' || s_[at_] == 'E')) {
      ++at_;
      if (at_ < s_.size() && (s_[at_] == '+' || s_[at_] == '-')) ++at_;
      if (!Digits()) return false;
    }
    *out = s_.substr(from, at_ - from);
    return true;
  }

 private:
  bool Digits() {
    const size_t from = at_;
    while (at_ < s_.size() && s_[at_] >= '0' && s_[at_] <= '9') ++at_;
    return at_ > from;
  }
  bool Hex4(uint32_t* value) {
    if (at_ + 4 > s_.size()) return false;
    *value = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = s_[at_++];
      const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (digit < 0) return false;
      *value = *value << 4 | static_cast<uint32_t>(digit);
    }
    return true;
  }
  // After "\u": the character in UTF-8; \u0080 to \u00ff are the single bytes they name.
  bool Unicode(std::string* out) {
    uint32_t code = 0;
    if (!Hex4(&code)) return false;
    if (code >= 0xDC00 && code <= 0xDFFF) return false;  // a second half alone
    if (code >= 0xD800 && code <= 0xDBFF) {
      uint32_t low = 0;
      if (!Word("\\u") || !Hex4(&low) || low < 0xDC00 || low > 0xDFFF) return false;
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
    }
    if (code < 0x100) {
      *out += static_cast<char>(code);
    } else if (code < 0x800) {
      *out += static_cast<char>(0xC0 | code >> 6);
      *out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      *out += static_cast<char>(0xE0 | code >> 12);
      *out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
      *out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      *out += static_cast<char>(0xF0 | code >> 18);
      *out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
      *out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
      *out += static_cast<char>(0x80 | (code & 0x3F));
    }
    return true;
  }

  const std::string& s_;
  size_t at_ = 0;
};

// One value of a record: a text, a number's text, or null.
struct JsonValue {
  enum Kind { kNull, kText, kNumber, kOther } kind = kNull;
  std::string text;
};

bool ReadValue(JsonReader* in, JsonValue* v) {
  const char c = in->Peek();
  if (c == '"') {
    v->kind = JsonValue::kText;
    return in->String(&v->text);
  }
  if (c == '-' || (c >= '0' && c <= '9')) {
    v->kind = JsonValue::kNumber;
    return in->Number(&v->text);
  }
  v->kind = JsonValue::kNull;
  if (in->Word("null")) return true;
  v->kind = JsonValue::kOther;
  return in->Word("true") || in->Word("false");
}

bool ToText(const JsonValue& v, std::string* out) {
  if (v.kind != JsonValue::kText) return false;
  *out = v.text;
  return true;
}
bool ToText(const JsonValue& v, std::optional<std::string>* out) {
  if (v.kind == JsonValue::kNull) {
    out->reset();
    return true;
  }
  if (v.kind != JsonValue::kText) return false;
  *out = v.text;
  return true;
}
// A whole number from 0 to max.
bool ToCount(const JsonValue& v, uint64_t max, uint64_t* out) {
  if (v.kind != JsonValue::kNumber || v.text.find_first_not_of("0123456789") != std::string::npos) return false;
  if (v.text.size() > 20) return false;
  errno = 0;
  const unsigned long long n = std::strtoull(v.text.c_str(), nullptr, 10);
  if (errno == ERANGE || n > max) return false;
  *out = n;
  return true;
}
bool ToCount(const JsonValue& v, std::optional<uint64_t>* out) {
  if (v.kind == JsonValue::kNull) {
    out->reset();
    return true;
  }
  uint64_t n = 0;
  if (!ToCount(v, UINT64_MAX, &n)) return false;
  *out = n;
  return true;
}

bool KnownResult(const std::string& result) {
  for (const char* word : {"ok", "failed", "interrupted", "disconnected", "skipped"})
    if (result == word) return true;
  return false;
}

// Sets the field name of r to v; false when v is not of the field's type. Other names are passed over.
bool SetField(ST_SERVICE_RECORD* r, const std::string& name, const JsonValue& v) {
  uint64_t n = 0;
  if (name == "time") return ToText(v, &r->time);
  if (name == "host") return ToText(v, &r->host);
  if (name == "tool") return ToText(v, &r->tool);
  if (name == "command") return ToText(v, &r->command);
  if (name == "port") {
    if (!ToCount(v, 65535, &n)) return false;
    r->port = static_cast<int>(n);
    return true;
  }
  if (name == "serial") return ToText(v, &r->serial);
  if (name == "version_before") return ToText(v, &r->version_before);
  if (name == "version_after") return ToText(v, &r->version_after);
  if (name == "file") return ToText(v, &r->file);
  if (name == "file_size") return ToCount(v, &r->file_size);
  if (name == "file_sha256") return ToText(v, &r->file_sha256);
  if (name == "bytes") return ToCount(v, &r->bytes);
  if (name == "result") return ToText(v, &r->result) && KnownResult(r->result);
  if (name == "seconds") {
    if (v.kind != JsonValue::kNumber) return false;
    const double seconds = std::strtod(v.text.c_str(), nullptr);
    if (!std::isfinite(seconds) || seconds < 0 || seconds > 1e9) return false;  // a service takes less than 31 years
    r->seconds = seconds;
    return true;
  }
  if (name == "message") return ToText(v, &r->message);
  if (name == "attempt") {
    if (v.kind == JsonValue::kNull) {
      r->attempt.reset();
      return true;
    }
    if (!ToCount(v, 1000000, &n)) return false;
    r->attempt = static_cast<int>(n);
    return true;
  }
  if (name == "run") return ToText(v, &r->run);
  if (name == "expected") return ToText(v, &r->expected);
  if (name == "reason") return ToText(v, &r->reason);
  if (name == "log") return ToText(v, &r->log);
  return true;
}

// The report file and the record of this process's repeater.
std::mutex g_mutex;
platform::SharedAppendFile g_file;
std::string g_path;
std::optional<ST_SERVICE_RECORD> g_record;
int64_t g_begin_ns = 0;  // steady clock, when the record was begun

// What a child of -all or -watch tells its parent as its service goes ("live" notes): the stage,
// the bytes sent and the version heard. Progress is told at most kLiveEvery apart (the first
// after a quiet spell at once); a new stage, the version and the transfer's end at once.
constexpr auto kLiveEvery = std::chrono::milliseconds(250);
std::string g_stage;
int64_t g_live_ns = 0;  // steady clock, when the last live note went out

// The live note of the record as it stands (under g_mutex), or "" when none is due.
std::string LiveNote(bool at_once) {
  if (!g_record || !cmParentNotesEnabled()) return "";
  const int64_t now = std::chrono::steady_clock::now().time_since_epoch() / std::chrono::nanoseconds(1);
  if (!at_once && now - g_live_ns < std::chrono::nanoseconds(kLiveEvery).count()) return "";
  g_live_ns = now;
  const auto number = [](const std::optional<uint64_t>& n) { return n ? std::to_string(*n) : std::string("-"); };
  return g_stage + " " + number(g_record->bytes) + " " + number(g_record->file_size) + " " +
         g_record->version_before.value_or("-");
}

void SendLive(const std::string& payload) {
  if (!payload.empty()) cmNoteToParent("live", payload);
}

}  // namespace

std::string cmJsonString(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      if (const size_t n = Utf8Length(text, i)) {
        out.append(text, i, n);
        i += n;
        continue;
      }
    }
    if (const char* escape = ShortEscape(c)) {
      out += escape;
    } else if (c < 0x20 || c >= 0x80) {
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    } else {
      out += static_cast<char>(c);
    }
    ++i;
  }
  return out + "\"";
}

std::string cmIsoTimeUtc(std::chrono::system_clock::time_point when) {
  using namespace std::chrono;
  const auto ms = floor<milliseconds>(when);
  const auto day = floor<days>(ms);
  const year_month_day date{day};
  const hh_mm_ss<milliseconds> clock{ms - day};
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()), static_cast<int>(clock.subseconds().count()));
  return text;
}

std::string cmServiceRecordLine(const ST_SERVICE_RECORD& r) {
  std::string out = "{";
  Field(&out, "time", cmJsonString(r.time));
  Field(&out, "host", cmJsonString(r.host));
  Field(&out, "tool", cmJsonString(r.tool));
  Field(&out, "command", cmJsonString(r.command));
  Field(&out, "port", std::to_string(r.port));
  Field(&out, "serial", Text(r.serial));
  Field(&out, "version_before", Text(r.version_before));
  Field(&out, "version_after", Text(r.version_after));
  Field(&out, "file", Text(r.file));
  Field(&out, "file_size", Number(r.file_size));
  Field(&out, "file_sha256", Text(r.file_sha256));
  Field(&out, "bytes", Number(r.bytes));
  Field(&out, "result", cmJsonString(r.result));
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.3f", r.seconds < 0 ? 0.0 : r.seconds);
  Field(&out, "seconds", seconds);
  Field(&out, "message", Text(r.message));
  Field(&out, "attempt", r.attempt ? std::to_string(*r.attempt) : "null");
  Field(&out, "run", cmJsonString(r.run));
  Field(&out, "expected", Text(r.expected));
  Field(&out, "reason", Text(r.reason));
  Field(&out, "log", Text(r.log));
  return out + "}\n";
}

bool cmServiceRecordParse(const std::string& line, ST_SERVICE_RECORD* record) {
  JsonReader in(line);
  ST_SERVICE_RECORD r;
  bool has_result = false;
  if (!in.Take('{')) return false;
  if (!in.Take('}')) {
    do {
      std::string name;
      JsonValue value;
      if (!in.String(&name) || !in.Take(':') || !ReadValue(&in, &value) || !SetField(&r, name, value)) return false;
      has_result = has_result || name == "result";
    } while (in.Take(','));
    if (!in.Take('}')) return false;
  }
  if (!in.AtEnd() || !has_result) return false;
  *record = std::move(r);
  return true;
}

const std::string& cmRunId() {
  static const std::string id = [] {
    std::random_device random;
    char tail[16];
    std::snprintf(tail, sizeof tail, "-%08x", static_cast<unsigned>(random()));
    std::string time = cmIsoTimeUtc(std::chrono::system_clock::now());  // 2026-12-08T09:30:12.345Z
    std::erase_if(time, [](char c) { return c == '-' || c == ':'; });
    return time + tail;
  }();
  return id;
}

ST_SERVICE_RECORD cmServiceRecordNew(const std::string& command, int port, const std::string* serial) {
  ST_SERVICE_RECORD r;
  r.time = cmIsoTimeUtc(std::chrono::system_clock::now());
  r.host = platform::HostName();
  r.tool = cmToolVersion();
  r.command = command;
  r.port = port;
  if (serial && !serial->empty()) r.serial = *serial;
  r.run = cmRunId();
  return r;
}

void cmServiceRecordSetFile(ST_SERVICE_RECORD* r, const std::string& path) {
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  r->file = ec ? path : absolute.lexically_normal().string();
  std::string hex;
  uint64_t size = 0;
  if (!cmSha256File(path, &hex, &size)) return;  // a file that cannot be read fails the command itself
  r->file_size = size;
  r->file_sha256 = hex;
}

bool cmReportOpen(const std::string& path, std::string* reason) {
  std::lock_guard lock(g_mutex);
  g_path = path;
  return g_file.Open(path, reason);
}

bool cmReportIsOpen() {
  std::lock_guard lock(g_mutex);
  return g_file.IsOpen();
}

bool cmReportAppend(const ST_SERVICE_RECORD& record, std::string* reason) {
  const std::string line = cmServiceRecordLine(record);
  std::lock_guard lock(g_mutex);
  return g_file.Append(line, reason);
}

void cmReportBegin(const std::string& command, int port, const std::string* serial) {
  ST_SERVICE_RECORD record = cmServiceRecordNew(command, port, serial);
  std::lock_guard lock(g_mutex);
  if (!g_file.IsOpen() && !cmParentNotesEnabled()) return;
  g_record = std::move(record);
  g_begin_ns = std::chrono::steady_clock::now().time_since_epoch() / std::chrono::nanoseconds(1);
  g_stage = "linking";
  SendLive(LiveNote(true));
}

void cmReportSetStage(const char* stage) {
  std::string note;
  {
    std::lock_guard lock(g_mutex);
    if (!g_record || g_stage == stage) return;
    g_stage = stage;
    note = LiveNote(true);
  }
  SendLive(note);
}

void cmReportSetFile(const std::string& path) {
  std::lock_guard lock(g_mutex);
  if (g_record) cmServiceRecordSetFile(&*g_record, path);
}

void cmReportSetExpected(const std::string& version) {
  std::lock_guard lock(g_mutex);
  if (g_record) g_record->expected = version;
}

void cmReportSetSent(const uint8_t* data, size_t size) {
  {
    std::lock_guard lock(g_mutex);
    if (!g_record) return;
  }
  Sha256 sha;
  sha.Add(data, size);
  std::string hex = sha.HexDigest();
  std::lock_guard lock(g_mutex);
  if (!g_record) return;
  g_record->file_size = size;
  g_record->file_sha256 = std::move(hex);
}

void cmReportRestartRequested() { cmNoteToParent("restart", "-"); }

void cmReportSetVersionBefore(uint16_t product_version, uint16_t build) {
  char text[16];
  std::snprintf(text, sizeof text, "%02x.%02x.%04x", product_version >> 8, product_version & 0xFF, build);
  std::string note;
  {
    std::lock_guard lock(g_mutex);
    if (!g_record || g_record->version_before == text) return;
    g_record->version_before = text;
    note = LiveNote(true);
  }
  SendLive(note);
}

void cmReportSetVersionAfter(const std::string& version) {
  std::lock_guard lock(g_mutex);
  if (g_record) g_record->version_after = version;
}

void cmReportSetBytes(uint64_t bytes) {
  std::string note;
  {
    std::lock_guard lock(g_mutex);
    if (!g_record) return;
    // Counted in whole packets: the last one may be short.
    g_record->bytes = g_record->file_size && bytes > *g_record->file_size ? *g_record->file_size : bytes;
    const bool first = g_stage != "transferring";
    g_stage = "transferring";
    note = LiveNote(first || bytes == UINT64_MAX);
  }
  SendLive(note);
}

void cmReportTransferComplete() { cmReportSetBytes(UINT64_MAX); }

void cmReportSetMessage(const std::string& message) {
  std::lock_guard lock(g_mutex);
  if (g_record && !g_record->message) g_record->message = message;
}

void cmReportSetReason(const char* reason) {
  std::lock_guard lock(g_mutex);
  if (g_record && !g_record->reason) g_record->reason = reason;
}

bool cmReportFinish(const std::string& result, const std::string& message) {
  std::optional<ST_SERVICE_RECORD> record;
  int64_t begin_ns = 0;
  {
    std::lock_guard lock(g_mutex);
    record.swap(g_record);
    begin_ns = g_begin_ns;
  }
  if (!record) return true;
  record->result = result;
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  record->seconds = std::chrono::duration<double>(now - std::chrono::nanoseconds(begin_ns)).count();
  if (result == "ok" || result == "skipped") record->message.reset();
  // Another program has the port: no fault of the repeater's.
  else if (!record->message && result == "failed" && record->reason && *record->reason == CM_REASON_BUSY)
    record->message = "The port is held by another program";
  // A failure before any version was heard: the link never came up.
  else if (!record->message && result == "failed" && !record->version_before)
    record->message = "Target connectivity failed";
  else if (!record->message && !message.empty())
    record->message = message;
  if (result == "ok" || result == "skipped")
    record->reason.reset();
  else if (result == CM_REASON_INTERRUPTED || result == CM_REASON_DISCONNECTED)
    record->reason = result;
  else if (!record->reason)
    record->reason = record->version_before ? CM_REASON_NO_ANSWER : CM_REASON_NO_LINK;
  if (cmParentNotesEnabled()) {  // the parent writes it
    std::string line = cmServiceRecordLine(*record);
    line.pop_back();
    cmNoteToParent("record", line);
    return true;
  }
  if (std::string reason; !cmReportAppend(*record, &reason)) {
    platform::PrintText(stderr, "halvern: cannot write report file '%s': %s\n", g_path.c_str(), reason.c_str());
    return false;
  }
  return true;
}
