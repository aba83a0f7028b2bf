// The clock texts the consoles print change from run to run: checks for them, and a mask that
// replaces them with fixed words so that whole outputs can be compared.
#pragma once

#include <cctype>
#include <string>
#include <string_view>

namespace halvern_test {

inline bool DigitsAt(std::string_view t, size_t pos, size_t n) {
  if (pos + n > t.size()) return false;
  for (size_t i = pos; i < pos + n; ++i)
    if (!std::isdigit(static_cast<unsigned char>(t[i]))) return false;
  return true;
}

// "HH:MM:SS " with a time of day (00:00:00 to 23:59:59) at pos.
inline bool IsClockAt(std::string_view t, size_t pos) {
  if (!DigitsAt(t, pos, 2) || !DigitsAt(t, pos + 3, 2) || !DigitsAt(t, pos + 6, 2) || t[pos + 2] != ':' ||
      t[pos + 5] != ':' || pos + 8 >= t.size() || t[pos + 8] != ' ')
    return false;
  auto number = [&](size_t i) { return (t[i] - '0') * 10 + (t[i + 1] - '0'); };
  return number(pos) < 24 && number(pos + 3) < 60 && number(pos + 6) < 60;
}

// The 25 characters of a ctime text ("Mon Dec  7 10:28:00 2026\n") at pos.
inline bool IsCtimeAt(std::string_view t, size_t pos) {
  if (pos + 25 > t.size()) return false;
  const std::string_view s = t.substr(pos, 25);
  auto word = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
  for (size_t i : {0, 1, 2, 4, 5, 6})
    if (!word(s[i])) return false;
  return s[3] == ' ' && s[7] == ' ' && (s[8] == ' ' || DigitsAt(s, 8, 1)) && DigitsAt(s, 9, 1) && s[10] == ' ' &&
         DigitsAt(s, 11, 2) && s[13] == ':' && DigitsAt(s, 14, 2) && s[16] == ':' && DigitsAt(s, 17, 2) &&
         s[19] == ' ' && DigitsAt(s, 20, 4) && s[24] == '\n';
}

// "Trace  : <ctime>\n" for the ctime text of a header line, then "<hh:mm:ss> " for the clock in
// front of a log line (at the start of the text or of a line).
inline std::string MaskTimes(const std::string& text) {
  static const std::string kHeader = "Trace  : ";
  std::string headers;
  for (size_t i = 0; i < text.size();) {
    if (text.compare(i, kHeader.size(), kHeader) == 0 && IsCtimeAt(text, i + kHeader.size())) {
      headers += kHeader + "<ctime>\n";
      i += kHeader.size() + 25;
    } else {
      headers += text[i++];
    }
  }
  std::string out;
  for (size_t i = 0; i < headers.size();) {
    if ((i == 0 || headers[i - 1] == '\n') && IsClockAt(headers, i)) {
      out += "<hh:mm:ss> ";
      i += 9;
    } else {
      out += headers[i++];
    }
  }
  return out;
}

}  // namespace halvern_test
