#include "session/console_text.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

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
  char text[512];
  std::va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::fflush(stdout);
  std::fprintf(stderr, "halvern: %s\n", text);
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
