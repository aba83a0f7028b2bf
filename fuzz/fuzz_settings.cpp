// Treats the input as one settings line (for param_get when the first byte is odd, param_set
// otherwise): parses it, checks what the parser reports against the line, checks the set data
// for hex digits, decodes it into a buffer of exactly the length and composes the output line.
// The hex decoder also runs on the raw line with a count from the second byte.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "params/param_admin.h"
#include "params/param_file.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > 4 * PARAM_LINE_PIECE) return 0;
  const bool is_get = data[0] & 1;
  const size_t count = data[1];
  // An exact-size copy: any read past the NUL is seen by the sanitizer.
  std::vector<char> line(data + 2, data + size);
  line.push_back('\0');
  const char* text = line.data();
  const size_t text_length = std::strlen(text);

  std::vector<uint8_t> bytes(count);
  cmParamHexDecode(text, count, bytes.data());

  const ST_PARAM_LINE parsed = cmParamParseLine(text, is_get);
  if (parsed.kind != PARAM_LINE_REQUEST) return 0;
  Check(parsed.field >= 4 && parsed.field <= text_length);
  Check(text[parsed.field - 1] == ':');
  Check(parsed.format == 'b' || parsed.format == 'w' || parsed.format == 'a');
  if (parsed.format == 'b') Check(parsed.length == 1);
  if (parsed.format == 'w') Check(parsed.length == 2);
  if (!is_get && parsed.format == 'a') {
    Check(parsed.length >= 1 && parsed.length <= (text_length - parsed.field + 1) / 2);
  }
  if (!is_get) {
    Check(parsed.digits + 1 >= 2u * parsed.length && parsed.digits <= 2u * parsed.length);
    (void)cmParamHexRefusal(text + parsed.field, parsed.digits);
  }

  std::vector<uint8_t> value(parsed.length);
  cmParamHexDecode(text + parsed.field, parsed.length, value.data());
  std::string out = cmParamComposeLine(text, parsed.field, value.data(), value.size());
  Check(out.size() == parsed.field + 2 * value.size() + 1 && out.back() == '\n');
  return 0;
}
