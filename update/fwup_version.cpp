// Software versions as the update command shows them ("01.02.0345") and as -expect names them.
#include <cctype>
#include <cstdio>
#include <string>

#include "update/fwup.h"

bool cmFwUpVersionTextValid(const char* text) {
  if (!text || std::char_traits<char>::length(text) != 10 || text[2] != '.' || text[5] != '.') return false;
  for (int i : {0, 1, 3, 4, 6, 7, 8, 9})
    if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  return true;
}

bool cmFwUpVersionIs(const std::string& version, const char* text) {
  if (version.size() != std::char_traits<char>::length(text)) return false;
  for (size_t i = 0; i < version.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(version[i])) != std::tolower(static_cast<unsigned char>(text[i])))
      return false;
  return true;
}

std::string cmFwUpVersionText(const ST_FWAPP_VERSION& version) {
  char text[16];
  std::snprintf(text, sizeof text, "%02x.%02x.%04x", version.product_version >> 8, version.product_version & 0xFF,
                version.build);
  return text;
}
