#include "session/console_text.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/console_out.h"
#include "platform/file_io.h"
#include "session/product.h"
#include "session/service_record.h"

namespace {

// The system's text for an error code; an unknown code (0 included) reads as an I/O error.
std::string ErrorText(int error) {
  // NOLINTNEXTLINE(concurrency-mt-unsafe): called from the command's own thread only
  return std::strerror(error != 0 ? error : EIO);
}

}  // namespace

void cmPrintRule() {
  std::printf("===============================================================================\n");
}

void cmPrintUsage() {
  std::printf("usage: -p [PRODUCT NAME] -cmd [COMMAND] -fw [firmware binary] -settings [settings file]\n");
  std::printf("COMMAND: fact_reset, param_get, param_set, reboot, update, version\n");
  std::printf("Available products:\n");
  std::printf("\t%s\n", g_products[0].short_name);
}

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style, as every console text of the tool is written
void cmTell(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  // Formatted whole, however long the path it names.
  std::string line = "halvern: ";
  char part[512];
  std::va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(part, sizeof part, format, args);
  if (n >= 0 && static_cast<size_t>(n) < sizeof part) {
    line.append(part, static_cast<size_t>(n));
  } else if (n >= 0) {
    std::string text(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, again);
    line.append(text.data(), static_cast<size_t>(n));
  }
  va_end(again);
  va_end(args);
  line += '\n';
  std::fflush(stdout);
  platform::WriteText(stderr, line);
  std::fflush(stderr);
}

void cmTellCannotOpen(const char* path, int error) {
  cmReportSetReason(CM_REASON_FILE);
  cmTell("cannot open '%s': %s", path ? path : "", ErrorText(error).c_str());
}

void cmTellCannotRead(const char* path, int error) {
  cmReportSetReason(CM_REASON_FILE);
  cmTell("cannot read '%s': %s", path ? path : "", ErrorText(error).c_str());
}

void cmTellCannotWrite(const char* path, int error) {
  cmReportSetReason(CM_REASON_FILE);
  cmTell("cannot write '%s': %s", path ? path : "", ErrorText(error).c_str());
}

void cmTellCannotCreate(const char* path, int error) {
  cmReportSetReason(CM_REASON_FILE);
  cmTell("cannot create '%s': %s", path ? path : "", platform::FileErrorText(error).c_str());
}
