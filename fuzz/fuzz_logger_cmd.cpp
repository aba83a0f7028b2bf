// Treats the input as a logger configuration file: reads its command line and applies it
// (there is no link: the requests go nowhere), and checks the id parser against the input.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/fuzz_walk.h"
#include "tracer/main_tracer.h"
#include "tracer/main_tracer_user.h"

namespace {
std::string g_path;

// A memory-backed directory where there is one: rewriting a file on a journalling file
// system may wait for the disk at every input.
std::string ScratchDir() {
  struct stat st {};
  return ::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("HALVERN_MID_FILE", "/nonexistent/halvern-fuzz-names.txt", 1);
  g_path = ScratchDir() + "/halvern-fuzz-logger-" + std::to_string(getpid()) + ".cfg";
  std::atexit([] { std::remove(g_path.c_str()); });
  if (!std::freopen("/dev/null", "w", stdout)) return 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size > 4096) return 0;
  const std::string text(reinterpret_cast<const char*>(bytes), strnlen(reinterpret_cast<const char*>(bytes), size));
  // Most inputs go straight to the command parser; some take the way through a file.
  bool via_file = size > 0 && (bytes[0] & 0x07) == 0;
  if (!via_file) {
    const int accepted = cmLoggerConfigure(text.c_str());
    fuzz::Check(accepted == 0 || accepted == 1);
  } else if (std::FILE* file = std::fopen(g_path.c_str(), "wb")) {
    std::fwrite(bytes, 1, size, file);
    std::fclose(file);
  } else {
    via_file = false;
  }

  char command[TRACER_COMMAND_SIZE];
  std::memset(command, 'Z', sizeof command);
  if (via_file && cmTracerReadCommand(g_path.c_str(), command, sizeof command) == 0) {
    const size_t n = strnlen(command, sizeof command);
    fuzz::Check(n <= TRACER_COMMAND_SIZE - 2 && command[0] != '#');
    fuzz::Check(std::strchr(command, '\n') == nullptr);
    const int accepted = cmLoggerConfigure(command);
    fuzz::Check(accepted == 0 || accepted == 1);
  }

  // The id parser agrees with a plain reading of the same text.
  int32_t id = 0;
  if (cmLoggerParseId(text.c_str(), &id)) {
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    fuzz::Check(errno == 0 && *end == '\0' && value == id);
  }
  return 0;
}
