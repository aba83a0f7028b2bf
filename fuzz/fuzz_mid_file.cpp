// Treats the input as the message-ID name file: loads it and checks every entry, and parses
// the input as one line on its own.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/fuzz_walk.h"
#include "session/text_file.h"
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
  g_path = ScratchDir() + "/halvern-fuzz-names-" + std::to_string(getpid()) + ".txt";
  std::atexit([] { std::remove(g_path.c_str()); });
  setenv("HALVERN_MID_FILE", g_path.c_str(), 1);
  if (!std::freopen("/dev/null", "w", stdout)) return 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size > 16384) return 0;
  std::FILE* file = std::fopen(g_path.c_str(), "wb");
  if (!file) return 0;
  std::fwrite(bytes, 1, size, file);
  std::fclose(file);

  if (cmMidTableLoad() != 0) {
    // Only a file that reads as UTF-16 text is refused (whole); any other input loads.
    fuzz::Check(cmTextIsUtf16(bytes, std::min<size_t>(size, 64)));
  } else {
    size_t entries = 0;
    const ST_MID_ENTRY* table = cmMidTableGet();
    for (const ST_MID_ENTRY* e = table; e->name; ++e, ++entries) {
      const size_t n = std::strlen(e->name);
      fuzz::Check(n >= 1 && n <= 127 && std::strpbrk(e->name, ", \t") == nullptr);
      const ST_MID_ENTRY* first = table;
      while (first->id != e->id) ++first;  // an id listed twice is named by its first entry
      fuzz::Check(cmMidName(e->id) == first->name);
    }
    fuzz::Check(entries <= size / 3 + 1);  // "N,0" is the shortest line that makes an entry
  }
  cmMidTableFree();

  std::string name;
  int32_t id = 0;
  const std::string line(reinterpret_cast<const char*>(bytes), size);
  if (cmMidParseLine(line, &name, &id)) fuzz::Check(!name.empty() && line.compare(0, name.size(), name) == 0);
  return 0;
}
