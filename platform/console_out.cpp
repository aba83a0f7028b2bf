#include "platform/console_out.h"

#include <cstdarg>

namespace platform {

std::u16string Utf16FromUtf8(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char lead = byte(i);
    if (lead < 0x80) {
      out.push_back(lead);
      ++i;
      continue;
    }
    // The length of the sequence and the range its second byte must lie in: this rules out
    // overlong forms, surrogates and values beyond U+10FFFF.
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    char32_t value = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2, value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3, value = lead & 0x0F;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4, value = lead & 0x07;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    }
    size_t taken = 1;
    while (length > 0 && taken < length && i + taken < text.size()) {
      const unsigned char next = byte(i + taken);
      if (next < (taken == 1 ? low : 0x80) || next > (taken == 1 ? high : 0xBF)) break;
      value = (value << 6) | (next & 0x3F);
      ++taken;
    }
    if (length == 0 || taken < length) {
      out.push_back(u'\uFFFD');  // the lead byte alone; what follows is looked at afresh
      ++i;
      continue;
    }
    if (value >= 0x10000) {
      value -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (value >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (value & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(value));
    }
    i += length;
  }
  return out;
}

void PrintTextV(std::FILE* stream, const char* format, std::va_list args) {
  std::va_list again;
  va_copy(again, args);
  char small[512];
  const int n = std::vsnprintf(small, sizeof small, format, args);
  if (n >= 0 && static_cast<size_t>(n) < sizeof small) {
    WriteText(stream, std::string_view(small, static_cast<size_t>(n)));
  } else if (n >= 0) {
    std::string text(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, again);
    text.pop_back();
    WriteText(stream, text);
  }
  va_end(again);
}

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style, as the console texts of the tool are written
void PrintText(std::FILE* stream, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  PrintTextV(stream, format, args);
  va_end(args);
}

}  // namespace platform
