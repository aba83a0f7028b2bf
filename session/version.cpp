#include "session/version.h"

#include <cstdio>

#ifndef HALVERN_VERSION
#error "HALVERN_VERSION comes from the build (the project's version)"
#endif

namespace {

// The banner prints its version as two numbers, "%x.%02x": 1 and 1 read "1.01".
constexpr unsigned kBannerMajor = 1;
constexpr unsigned kBannerMinor = 1;

std::string BannerVersion() {
  char text[16];
  std::snprintf(text, sizeof text, "%x.%02x", kBannerMajor, kBannerMinor);
  return text;
}

}  // namespace

const char* cmToolVersion() { return HALVERN_VERSION; }

const char* cmBannerVersion() {
  static const std::string version = BannerVersion();
  return version.c_str();
}

std::string cmVersionLine(const char* program) {
  return std::string(program) + " " + cmToolVersion() + " (tool version " + cmBannerVersion() + ")\n";
}
