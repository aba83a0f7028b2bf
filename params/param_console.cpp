// The params console: get and set runs of bytes of the target's parameter area, one action
// after another, until "q". Also the exchange block and the callback that the settings-file
// commands share with it.
#include "params/param_console.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "cmbs/cmbs_ie.h"
#include "params/param_admin.h"
#include "platform/console.h"
#include "platform/console_out.h"
#include "session/fwapp.h"
#include "session/wait.h"

ST_ADMIN_PARAM g_admin_param{};

namespace {

constexpr size_t kNumberLineMax = 40;  // address and length lines
const char kHyphens[] = "-------------------------------------------------------------------------------";

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

const char kHexUpper[] = "0123456789ABCDEF";

void AppendHex(std::string* out, uint8_t byte) {
  out->push_back(kHexUpper[byte >> 4]);
  out->push_back(kHexUpper[byte & 0x0F]);
}

// The line typed at the address prompt, into offset. "0x..." keeps the previous offset when
// it does not read as hex; anything else is read as atoi reads it.
void ReadOffset(const std::string& line, uint16_t* offset) {
  if (line.size() > 1 && line[1] == 'x') {
    cmParamReadHex(line.c_str(), offset);
    return;
  }
  *offset = static_cast<uint16_t>(cmParamDecimal(line.c_str()));
}

// The line typed at the address prompt of a set: "0x" and one to four hex digits, or a
// decimal number (blanks and a sign in front), nothing but blanks after it. False (offset
// untouched) for anything else: a write goes nowhere it was not plainly sent.
bool ReadSetOffset(const std::string& line, uint16_t* offset) {
  const char* text = line.c_str();
  uint16_t value = 0;
  const char* end = nullptr;
  if (line.size() > 1 && line[1] == 'x') {
    end = cmParamReadHex(text, &value);
  } else {
    const char* p = text + std::strspn(text, " \t");
    if (*p == '+' || *p == '-') ++p;
    if (*p >= '0' && *p <= '9') {
      value = static_cast<uint16_t>(cmParamDecimal(text));
      end = p + std::strspn(p, "0123456789");
    }
  }
  if (!end || end[std::strspn(end, " \t\r")] != '\0') return false;
  *offset = value;
  return true;
}

void RefuseSet(const std::string& reason) {
  std::fflush(stdout);
  platform::PrintText(stderr, "halvern: %s\n", reason.c_str());
}

// One get or set. Returns false when the input ended before the action was complete:
// nothing is sent then.
bool RunAction(PST_FWAPP_OBJ app, bool get, uint16_t* offset) {
  ST_ADMIN_PARAM& admin = g_admin_param;
  std::string line;

  std::printf("\n\nAddress: ");
  std::fflush(stdout);
  if (!platform::ConsoleReadLine(&line, kNumberLineMax)) return false;
  // A set to an address that is not a number is refused once its lines are read.
  std::string refusal;
  if (get)
    ReadOffset(line, offset);
  else if (!ReadSetOffset(line, offset))
    refusal = "address '" + line + "' is not a number";

  std::printf("\nLength: ");
  std::fflush(stdout);
  if (!platform::ConsoleReadLine(&line, kNumberLineMax)) return false;
  const uint16_t length = static_cast<uint16_t>(cmParamDecimal(line.c_str()));

  {
    std::lock_guard lock(admin.mutex);
    admin.typed_length = length;
    std::memset(admin.data, 0, sizeof admin.data);
    admin.last_code = 0;
    admin.done_event->Reset();
  }

  int rc = CMBS_RC_ERROR_PARAMETER;
  if (get) {
    std::printf("%s\n", kHyphens);
    {
      std::lock_guard lock(admin.mutex);
      admin.shown_count = length;
    }
    rc = cmFwAppParamGet(app, *offset, length, admin.data);
  } else {
    std::printf("\nData: ");
    std::fflush(stdout);
    // Two digits a byte; what is typed beyond that is read and dropped.
    const size_t decodable = std::min<size_t>(length, ADMIN_PARAM_DATA_SIZE);
    if (!platform::ConsoleReadLine(&line, 2 * decodable + 2)) return false;
    if (refusal.empty() && length <= CMBS_PARAM_AREA_MAX) refusal = cmParamHexRefusal(line.c_str(), 2 * static_cast<size_t>(length));
    if (!refusal.empty()) {  // nothing is sent: a typo must not reach the area as zeros
      RefuseSet(refusal);
      return true;
    }
    // Longer runs than one request carries are refused without decoding.
    if (length <= CMBS_PARAM_AREA_MAX) {
      {
        std::lock_guard lock(admin.mutex);
        cmParamHexDecode(line.c_str(), length, admin.data);
      }
      rc = cmFwAppParamSet(app, *offset, length, admin.data);
    }
  }

  std::fflush(stdout);
  if (!cmParamAwaitAnswer(app, rc)) std::printf("Error\n");
  return true;
}

// An answer of another byte count than asked is taken (cut to the bytes asked, or failing the
// line when short); standard error says so.
void TellReadNote(PST_FWAPP_OBJ app) {
  const std::string note = cmFwAppTakeReadNote(app);
  if (note.empty()) return;
  std::fflush(stdout);
  platform::PrintText(stderr, "halvern: %s\n", note.c_str());
}

}  // namespace

bool cmParamAwaitAnswer(PST_FWAPP_OBJ app, int rc) {
  if (rc != CMBS_RC_OK) return false;  // a request that did not go out cannot be answered
  // A line that is gone answers nothing; once it goes, the wait ends without an answer.
  bool answered = false;
  if (!cmFwAppLineGone() && g_admin_param.done_event->Wait(cmFwAppWaitMs())) {
    std::lock_guard lock(g_admin_param.mutex);
    answered = g_admin_param.last_code != 0;
  }
  // Cancelling finds nothing pending only when the answer has just been reported.
  if (!answered) answered = !cmFwAppParamCancel(app);
  if (answered) TellReadNote(app);
  return answered;
}

void cmParamHexDecode(const char* text, size_t count, uint8_t* destination) {
  bool ended = false;  // past the NUL every digit reads as 0
  auto next = [&]() {
    if (ended) return 0;
    char c = *text++;
    if (c == '\0') {
      ended = true;
      return 0;
    }
    int d = HexDigit(c);
    return d < 0 ? 0 : d;
  };
  for (size_t i = 0; i < count; ++i) {
    int high = next();
    int low = next();
    destination[i] = static_cast<uint8_t>(high * 16 + low);
  }
}

std::string cmParamHexRefusal(const char* text, size_t digits) {
  size_t found = 0;
  while (found < digits && HexDigit(text[found]) >= 0) ++found;
  if (found == digits) return "";
  const size_t data_end = std::strcspn(text, ";\n");
  if (found == data_end) return "too few digits (" + std::to_string(found) + " of " + std::to_string(digits) + ")";
  std::string refusal = "'";
  refusal.append(text, data_end).append("' is not hexadecimal");
  return refusal;
}

uint32_t cmParamDecimal(const char* text) {
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  uint32_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) value = value * 10u + static_cast<uint32_t>(*p - '0');
  return negative ? 0u - value : value;
}

const char* cmParamReadHex(const char* text, uint16_t* value) {
  if (text[0] != '0' || text[1] != 'x') return nullptr;
  const char* p = text + 2;
  unsigned result = 0;
  int digits = 0;
  for (; digits < 4; ++digits, ++p) {
    int d = HexDigit(*p);
    if (d < 0) break;
    result = result * 16 + static_cast<unsigned>(d);
  }
  if (digits == 0) return nullptr;
  *value = static_cast<uint16_t>(result);
  return p;
}

std::string cmParamFormatValues(const uint8_t* bytes, size_t count) {
  std::string out;
  out.reserve(count * 3 + count / 16);
  for (size_t i = 0; i < count; ++i) {
    AppendHex(&out, bytes[i]);
    out.push_back(' ');
    if (i != 0 && i % 16 == 0) out.push_back('\n');
  }
  return out;
}

std::string cmParamComposeLine(const char* prefix, size_t prefix_length, const uint8_t* bytes, size_t count) {
  std::string line(prefix, prefix_length);
  line.reserve(prefix_length + 2 * count + 1);
  for (size_t i = 0; i < count; ++i) AppendHex(&line, bytes[i]);
  line.push_back('\n');
  return line;
}

void cmParamCallBack(uint32_t, uint32_t code, uintptr_t) {
  ST_ADMIN_PARAM& admin = g_admin_param;
  std::lock_guard lock(admin.mutex);
  switch (code) {
    case FWAPP_PARAM_GET_OK: {
      const size_t shown = static_cast<size_t>(std::max<int32_t>(admin.shown_count, 0));
      if (admin.out_file) {
        // The answer lies behind the prefix and its NUL; never read past data.
        const size_t prefix = std::min<size_t>(static_cast<size_t>(std::max<int32_t>(admin.prefix_length, 0)),
                                               ADMIN_PARAM_DATA_SIZE - 1);
        const size_t count = std::min(shown, ADMIN_PARAM_DATA_SIZE - prefix - 1);
        std::string line = cmParamComposeLine(reinterpret_cast<const char*>(admin.data), prefix,
                                              admin.data + prefix + 1, count);
        std::printf(" %s", line.c_str());
        std::fputs(line.c_str(), admin.out_file);
      } else {
        std::string values = cmParamFormatValues(admin.data, std::min(shown, ADMIN_PARAM_DATA_SIZE));
        std::printf("Data:\n%s", values.c_str());
      }
      break;
    }
    case FWAPP_PARAM_SET_OK:
      break;
    case FWAPP_PARAM_FAILED:
      std::printf("error\n");
      break;
    case FWAPP_LINE_GONE:
      // No answer will come: the wait ends now, and so does a console waiting for a key.
      platform::ConsoleInterrupt();
      if (admin.done_event) admin.done_event->Set();
      return;
    default:
      return;  // not an answer to a parameter request
  }
  std::fflush(stdout);  // the main thread may be waiting for a key: show the answer now
  admin.last_code = code;
  if (admin.done_event) admin.done_event->Set();
}

int cmParamConsole(uint8_t port) {
  PST_FWAPP_OBJ app = cmFwAppOpen(cmFwAppPortText(port).c_str(), 0, cmParamCallBack);
  if (!app) return -1;  // cmFwAppOpen has said why

  cmFwAppPrintVersion(app, true);

  platform::Event done("Admin Param", true);
  {
    std::lock_guard lock(g_admin_param.mutex);
    g_admin_param.done_event = &done;
    g_admin_param.out_file = nullptr;
  }

  uint16_t offset = 0;
  for (;;) {
    std::printf("Action get/set/quit[g/s/q]: ");
    std::fflush(stdout);
    int key = platform::ConsoleGetKey();
    if (key == platform::kConsoleInterrupted) break;  // the line is gone
    if (key < 0) key = 'q';  // end of input quits
    std::printf("%c", key);
    if (key == 'q') break;
    if ((key == 'g' || key == 's') && !RunAction(app, key == 'g', &offset)) break;
    if (cmFwAppLineGone()) break;
    std::printf("\n%s\n", kHyphens);
  }
  std::fflush(stdout);
  const bool line_gone = cmFwAppLineGone();

  // No callback runs once the session is closed: only then may the event go.
  cmFwAppClose(app);
  std::lock_guard lock(g_admin_param.mutex);
  g_admin_param.done_event = nullptr;
  return line_gone ? -1 : 0;
}
