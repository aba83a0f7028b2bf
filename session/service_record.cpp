#include "session/service_record.h"

#include <cstdio>
#include <mutex>

#include "platform/append_file.h"
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

// The report file and the record of this process's repeater.
std::mutex g_mutex;
platform::SharedAppendFile g_file;
std::string g_path;
std::optional<ST_SERVICE_RECORD> g_record;
int64_t g_begin_ns = 0;  // steady clock, when the record was begun

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

ST_SERVICE_RECORD cmServiceRecordNew(const std::string& command, int port, const std::string* serial) {
  ST_SERVICE_RECORD r;
  r.time = cmIsoTimeUtc(std::chrono::system_clock::now());
  r.host = platform::HostName();
  r.tool = cmToolVersion();
  r.command = command;
  r.port = port;
  if (serial && !serial->empty()) r.serial = *serial;
  return r;
}

void cmServiceRecordSetFile(ST_SERVICE_RECORD* r, const std::string& path) {
  r->file = path;
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
  if (!g_file.IsOpen()) return;
  g_record = std::move(record);
  g_begin_ns = std::chrono::steady_clock::now().time_since_epoch() / std::chrono::nanoseconds(1);
}

void cmReportSetFile(const std::string& path) {
  std::lock_guard lock(g_mutex);
  if (g_record) cmServiceRecordSetFile(&*g_record, path);
}

void cmReportSetVersionBefore(uint16_t product_version, uint16_t build) {
  char text[16];
  std::snprintf(text, sizeof text, "%02x.%02x.%04x", product_version >> 8, product_version & 0xFF, build);
  std::lock_guard lock(g_mutex);
  if (g_record) g_record->version_before = text;
}

void cmReportSetVersionAfter(const std::string& version) {
  std::lock_guard lock(g_mutex);
  if (g_record) g_record->version_after = version;
}

void cmReportSetBytes(uint64_t bytes) {
  std::lock_guard lock(g_mutex);
  if (!g_record) return;
  // Counted in whole packets: the last one may be short.
  g_record->bytes = g_record->file_size && bytes > *g_record->file_size ? *g_record->file_size : bytes;
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
  if (result == "ok") record->message.reset();
  // A failure before any version was heard: the link never came up.
  else if (!record->message && result == "failed" && !record->version_before)
    record->message = "Target connectivity failed";
  else if (!record->message && !message.empty())
    record->message = message;
  if (std::string reason; !cmReportAppend(*record, &reason)) {
    std::fprintf(stderr, "halvern: cannot write report file '%s': %s\n", g_path.c_str(), reason.c_str());
    return false;
  }
  return true;
}
