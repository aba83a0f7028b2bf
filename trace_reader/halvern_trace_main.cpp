// halvern-trace: reads a trace file written by `halvern -cmd tracer` and shows its records,
// its unscrambled text, or writes the records as a pcap file.
//
// Exit status: 0 the whole file was read; 1 the file is damaged, cut short or empty (what
// lay before the damage was shown or written); 2 a command-line error, or a file that could
// not be read or written.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/file_io.h"
#include "platform/std_streams.h"
#include "trace_reader/trace_output.h"
#include "trace_reader/trace_reader.h"
#include "tracer/main_tracer_user.h"

namespace {

constexpr int kOk = 0;
constexpr int kDamaged = 1;
constexpr int kTrouble = 2;
constexpr size_t kChunk = 64 * 1024;

const char kUsage[] =
    "usage: halvern-trace [-n NAMEFILE | --builtin-names] [-t | -w PCAP] TRACEFILE\n"
    "       halvern-trace [-n NAMEFILE | --builtin-names] --list-names\n"
    "\n"
    "Reads a trace file written by `halvern -cmd tracer` (cmbs_dect_tracer-*.txt) and prints\n"
    "one line per record: number, packet kind (first or second packet of a message),\n"
    "destination and source task, message id and name, data length and data bytes.\n"
    "\n"
    "  -t, --text           print the unscrambled text of the file as it is\n"
    "  -w, --pcap PCAP      write the records to a pcap file (link type 147, DLT_USER0);\n"
    "                       - writes it to standard output\n"
    "  -n, --names NAMEFILE message-ID name file (lines \"NAME, id\"); default HALVERN_MID_FILE,\n"
    "                       else the tool's own name file when it exists, else the built-in names\n"
    "      --builtin-names  use the built-in names even when a name file exists\n"
    "      --list-names     print the message-ID table in use as a name file and end\n"
    "  -h, --help           show this text\n"
    "\n"
    "Exit status: 0 the whole file was read; 1 the file is damaged, cut short or empty\n"
    "(everything before the damage is shown); 2 wrong usage, or a file cannot be read or written.\n";

enum class Mode { kRecords, kText, kPcap };

struct Options {
  Mode mode = Mode::kRecords;
  std::string trace_path;
  std::string pcap_path;
  std::string names_path;
  bool builtin_names = false;
  bool list_names = false;
};

int BadUsage(const std::string& message) {
  std::fprintf(stderr, "halvern-trace: %s\n(try halvern-trace -h)\n", message.c_str());
  return kTrouble;
}

// Output to standard output or to a file, with write errors remembered.
class Output {
 public:
  // Standard output for "-"; bytes pass through unchanged unless lines of text go out.
  bool Open(const std::string& path, bool lines) {
    if (path == "-") {
      if (!lines) platform::SetStdoutBinary();
      file_ = stdout;
      return true;
    }
    file_ = std::fopen(path.c_str(), "wb");
    owned_ = file_ != nullptr;
    return file_ != nullptr;
  }
  void Write(const std::string& bytes) { Write(bytes.data(), bytes.size()); }
  void Write(const char* data, size_t n) {
    if (n && std::fwrite(data, 1, n, file_) != n) failed_ = true;
  }
  // Flushes (and closes a file); false when anything could not be written.
  bool Close() {
    if (!file_) return !failed_;
    if (std::fflush(file_) != 0) failed_ = true;
    if (owned_ && std::fclose(file_) != 0) failed_ = true;
    file_ = nullptr;
    return !failed_;
  }

 private:
  std::FILE* file_ = nullptr;
  bool owned_ = false;
  bool failed_ = false;
};

int ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return -1;
    } else if (arg == "-t" || arg == "--text") {
      if (o->mode == Mode::kPcap) return BadUsage("-t and -w cannot be given together");
      o->mode = Mode::kText;
    } else if (arg == "-w" || arg == "--pcap") {
      if (o->mode == Mode::kText) return BadUsage("-t and -w cannot be given together");
      if (!value(&o->pcap_path) || o->pcap_path.empty()) return BadUsage(arg + " needs a file name");
      o->mode = Mode::kPcap;
    } else if (arg == "-n" || arg == "--names") {
      if (!value(&o->names_path) || o->names_path.empty()) return BadUsage(arg + " needs a file name");
    } else if (arg == "--builtin-names") {
      o->builtin_names = true;
    } else if (arg == "--list-names") {
      o->list_names = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return BadUsage("unknown option " + arg);
    } else if (o->trace_path.empty()) {
      o->trace_path = arg;
    } else {
      return BadUsage("more than one trace file given");
    }
  }
  if (o->builtin_names && !o->names_path.empty()) return BadUsage("-n and --builtin-names cannot be given together");
  if (!o->list_names && o->trace_path.empty()) return BadUsage("no trace file given");
  return kOk;
}

// Loads the name file when one is to be used. The built-in names serve when the default
// file does not exist; a file named with -n must be readable.
bool LoadNames(const Options& o) {
  if (o.builtin_names) return true;
  if (!o.names_path.empty()) cmMidFileSetPath(o.names_path);
  const std::string path = cmMidFilePath();
  if (!platform::FileModifiedTime(path, nullptr)) {
    if (o.names_path.empty()) return true;
    std::fprintf(stderr, "halvern-trace: cannot read the name file %s\n", path.c_str());
    return false;
  }
  // Opened and read here first so that a file that cannot be read (a directory opens but does
  // not read) is reported here, on standard error.
  std::FILE* probe = std::fopen(path.c_str(), "rb");
  const bool readable = probe && (std::fgetc(probe), !std::ferror(probe));
  if (probe) std::fclose(probe);
  if (!readable) {
    std::fprintf(stderr, "halvern-trace: cannot read the name file %s\n", path.c_str());
    return false;
  }
  cmMidTableGet();
  return true;
}

int ListNames(const Options& o) {
  const ST_MID_ENTRY* table = o.builtin_names ? cmMidTableBuiltin() : cmMidTableGet();
  for (const ST_MID_ENTRY* e = table; e->name; ++e) std::printf("%s, %d\n", e->name, static_cast<int>(e->id));
  return std::fflush(stdout) == 0 ? kOk : kTrouble;
}

void ReportDamage(const std::string& path, const trace_reader::Damage& d, bool unscrambled_text) {
  if (d.empty) {
    std::fprintf(stderr, "halvern-trace: %s: the file is empty, it holds no record\n", path.c_str());
    return;
  }
  std::fprintf(stderr, "halvern-trace: %s: %s in record %llu at byte offset %llu: %s\n", path.c_str(),
               d.cut_short ? "cut short" : "damaged", static_cast<unsigned long long>(d.record),
               static_cast<unsigned long long>(d.offset), d.what.c_str());
  if (d.record == 1 && d.offset < 5 && !d.cut_short) {
    std::fprintf(stderr, "halvern-trace: %s: %s\n", path.c_str(),
                 unscrambled_text ? "this is the unscrambled text of a trace file; halvern-trace reads the file "
                                    "the tracer wrote"
                                  : "this is not a trace file");
  }
}

int Run(const Options& o) {
  std::FILE* in = std::fopen(o.trace_path.c_str(), "rb");
  if (!in) {
    std::fprintf(stderr, "halvern-trace: cannot open %s: %s\n", o.trace_path.c_str(), std::strerror(errno));
    return kTrouble;
  }
  struct Closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  std::unique_ptr<std::FILE, Closer> closer(in);

  Output out;
  const std::string out_path = o.mode == Mode::kPcap ? o.pcap_path : "-";
  if (!out.Open(out_path, o.mode == Mode::kRecords)) {
    std::fprintf(stderr, "halvern-trace: cannot create %s: %s\n", out_path.c_str(), std::strerror(errno));
    return kTrouble;
  }
  int64_t seconds = 0;
  if (o.mode == Mode::kPcap) {
    platform::FileModifiedTime(o.trace_path, &seconds);
    out.Write(trace_reader::PcapFileHeader());
  }

  trace_reader::Parser parser([&](const trace_reader::Record& r) {
    if (o.mode == Mode::kRecords) out.Write(trace_reader::FormatRecord(r, cmMidName(r.mid())));
    else if (o.mode == Mode::kPcap) out.Write(trace_reader::PcapPacket(r, seconds));
  });

  std::vector<char> buffer(kChunk);
  uint64_t offset = 0;
  bool plain_begin = false;  // the raw file starts with "BEGIN": text that is not scrambled
  for (;;) {
    const size_t n = std::fread(buffer.data(), 1, buffer.size(), in);
    if (n == 0) break;
    if (offset == 0) plain_begin = n >= 5 && std::memcmp(buffer.data(), "BEGIN", 5) == 0;
    trace_reader::Unscramble(buffer.data(), n, offset);
    offset += n;
    if (o.mode == Mode::kText) out.Write(buffer.data(), n);
    if (!parser.Feed(buffer.data(), n) && o.mode != Mode::kText) break;  // nothing more to show
  }
  if (std::ferror(in)) {
    out.Close();
    std::fprintf(stderr, "halvern-trace: cannot read %s\n", o.trace_path.c_str());
    return kTrouble;
  }
  const bool sound = parser.Finish();
  if (!out.Close()) {
    std::fprintf(stderr, "halvern-trace: cannot write %s\n", out_path == "-" ? "standard output" : out_path.c_str());
    return kTrouble;
  }
  if (!sound) {
    ReportDamage(o.trace_path, *parser.damage(), plain_begin);
    return kDamaged;
  }
  return kOk;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  const int parsed = ParseOptions(argc, argv, &o);
  if (parsed < 0) return kOk;  // help shown
  if (parsed != kOk) return parsed;
  if (!LoadNames(o)) return kTrouble;
  if (o.list_names) return ListNames(o);
  return Run(o);
}
