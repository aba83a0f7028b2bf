// halvern-trace: reads a trace file written by `halvern -cmd tracer` and shows its records,
// its unscrambled text, or writes the records as a pcap file.
//
// A damaged file is read past the damage: every intact record is shown, each damaged stretch
// is reported on standard error. With -f the file is followed while the tracer writes it.
//
// Exit status: 0 the whole file was read (an empty one too); 1 damage was found; 2 a
// command-line error, or a file that could not be read or written.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/file_io.h"
#include "platform/console_out.h"
#include "platform/file_operands.h"
#include "platform/file_offset.h"
#include "platform/help_text.h"
#include "platform/open_file.h"
#include "platform/self.h"
#include "platform/std_streams.h"
#include "trace_reader/trace_output.h"
#include "trace_reader/trace_reader.h"
#include "session/text_file.h"
#include "session/version.h"
#include "tracer/main_tracer_user.h"

namespace {

constexpr int kOk = 0;
constexpr int kDamaged = 1;
constexpr int kTrouble = 2;
constexpr size_t kChunk = size_t{64} * 1024;
// How often a followed file is looked at once all of it has been read.
constexpr auto kFollowPoll = std::chrono::milliseconds(150);

const char kUsage[] =
    "usage: halvern-trace [-n NAMEFILE | --builtin-names] [-t | -w PCAP] [-f] TRACEFILE\n"
    "       halvern-trace [-n NAMEFILE | --builtin-names] --list-names\n"
    "\n"
    "Reads a trace file written by `halvern -cmd tracer` (cmbs_dect_tracer-*.txt) and prints\n"
    "one line per record: number, packet kind (first or second packet of a message),\n"
    "destination and source task, message id and name, data length and data bytes.\n"
    "A damaged stretch of the file is reported on standard error and skipped: reading goes on\n"
    "at the next intact record. The stretch takes one record number of its own.\n"
    "\n"
    "  -t, --text           print the unscrambled text of the file as it is\n"
    "  -w, --pcap PCAP      write the records to a pcap file (link type 147, DLT_USER0);\n"
    "                       - writes it to standard output\n"
    "  -f, --follow         go on reading as the tracer writes the file, as tail -f does, until\n"
    "                       Ctrl-C or SIGTERM; a record not yet written whole is waited for\n"
    "  -n, --names NAMEFILE message-ID name file (lines \"NAME, id\"); default HALVERN_MID_FILE,\n"
    "                       else the tool's own name file when it exists, else the built-in names\n"
    "      --builtin-names  use the built-in names even when a name file exists\n"
    "      --list-names     print the message-ID table in use as a name file and end\n"
    "  -h, --help           show this text\n"
    "      --version        show the version of halvern-trace\n"
    "\n"
    "Exit status: 0 the whole file was read (an empty file too); 1 the file is damaged or cut\n"
    "short (every intact record is shown); 2 wrong usage, or a file cannot be read or written.\n"
    "\n";

enum class Mode { kRecords, kText, kPcap };

struct Options {
  Mode mode = Mode::kRecords;
  std::string trace_path;
  std::string pcap_path;
  std::string names_path;
  bool builtin_names = false;
  bool list_names = false;
  bool follow = false;
};

int BadUsage(const std::string& message) {
  platform::PrintText(stderr, "halvern-trace: %s\n(try halvern-trace -h)\n", message.c_str());
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
    file_ = platform::OpenFile(path, "wb");
    owned_ = file_ != nullptr;
    return file_ != nullptr;
  }
  void Write(const std::string& bytes) { Write(bytes.data(), bytes.size()); }
  void Write(const char* data, size_t n) {
    if (n && std::fwrite(data, 1, n, file_) != n) failed_ = true;
  }
  void Flush() {
    if (std::fflush(file_) != 0) failed_ = true;
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
      std::fputs(platform::ManualLine("halvern-trace", nullptr).c_str(), stdout);
      return -1;
    } else if (arg == "--version") {
      std::fputs(cmVersionLine("halvern-trace").c_str(), stdout);
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
    } else if (arg == "-f" || arg == "--follow") {
      o->follow = true;
    } else if (arg == "--builtin-names") {
      o->builtin_names = true;
    } else if (arg == "--list-names") {
      o->list_names = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return BadUsage("unknown option " + arg);
    } else {
      // Only the operand: the values of -w and -n are file names as written.
      for (const std::string& path : platform::ExpandFileOperand(arg)) {
        if (!o->trace_path.empty()) return BadUsage("more than one trace file given");
        o->trace_path = path;
      }
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
    platform::PrintText(stderr, "halvern-trace: cannot read the name file %s\n", path.c_str());
    return false;
  }
  // Opened and read here first so that a file that cannot be read (a directory opens but does
  // not read) is reported here, on standard error.
  TEXT_OPEN_RESULT opened = TEXT_OPEN_OK;
  std::FILE* probe = cmTextFileOpen(path.c_str(), "rb", &opened);
  if (opened == TEXT_OPEN_UTF16) {
    platform::PrintText(stderr, "halvern-trace: %s\n", cmTextUtf16Refusal(path.c_str()).c_str());
    return false;
  }
  const bool readable = probe && (std::fgetc(probe), !std::ferror(probe));
  if (probe) (void)std::fclose(probe);  // read only: nothing is lost
  if (!readable) {
    platform::PrintText(stderr, "halvern-trace: cannot read the name file %s\n", path.c_str());
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
  std::string skipped;  // a stretch that runs to the end of the file needs no count
  if (d.resumed)
    skipped = "; " + std::to_string(d.skipped) + " bytes skipped up to byte offset " + std::to_string(d.start + d.skipped);
  platform::PrintText(stderr, "halvern-trace: %s: %s in record %llu at byte offset %llu: %s%s\n", path.c_str(),
                      d.cut_short ? "cut short" : "damaged", static_cast<unsigned long long>(d.record),
                      static_cast<unsigned long long>(d.offset), d.what.c_str(), skipped.c_str());
  if (d.record == 1 && d.offset < 5 && !d.cut_short && !d.resumed) {
    platform::PrintText(stderr, "halvern-trace: %s: %s\n", path.c_str(),
                        unscrambled_text ? "this is the unscrambled text of a trace file; halvern-trace reads the file "
                        "the tracer wrote"
                        : "this is not a trace file");
  }
}

// One reading of the trace file from its first byte: records, text or pcap packets out as
// they are read, damage reported as it is found.
class Reading {
 public:
  Reading(const Options& o, Output& out, bool follow)
      : o_(o), out_(out), follow_(follow), reader_([this](const trace_reader::Record& r) { Put(r); },
                                                  [this](const trace_reader::Damage& d) { Report(d); }) {
    if (o.mode == Mode::kPcap) platform::FileModifiedTime(o.trace_path, &seconds_);
  }

  // The next n bytes of the file as they lie in it.
  void Feed(const char* data, size_t n) {
    if (head_.size() < 5) head_.append(data, std::min(n, 5 - head_.size()));
    if (o_.mode == Mode::kText) {  // the text first, then what is wrong with it
      text_.assign(data, n);
      trace_reader::Unscramble(text_.data(), n, reader_.bytes());
      out_.Write(text_);
    }
    reader_.Feed(data, n);
  }
  void Finish(bool whole) { reader_.Finish(whole); }
  uint64_t bytes() const { return reader_.bytes(); }
  uint64_t damages() const { return reader_.damages(); }

 private:
  void Put(const trace_reader::Record& r) {
    if (o_.mode == Mode::kRecords) {
      out_.Write(trace_reader::FormatRecord(r, cmMidName(r.mid())));
    } else if (o_.mode == Mode::kPcap) {
      out_.Write(trace_reader::PcapPacket(r, seconds_));
      if (follow_) out_.Flush();  // a reader of the pcap sees each packet at once
    }
  }
  void Report(const trace_reader::Damage& d) {
    out_.Flush();  // the records before the damage come first where both streams meet
    // A raw file that starts with "BEGIN" is text that is not scrambled.
    ReportDamage(o_.trace_path, d, head_ == "BEGIN");
  }

  const Options& o_;
  Output& out_;
  const bool follow_;
  int64_t seconds_ = 0;
  std::string head_;  // the file's first five bytes
  std::string text_;
  trace_reader::Reader reader_;
};

struct Closer {
  void operator()(std::FILE* f) const { (void)std::fclose(f); }  // files read only: nothing is lost
};
using File = std::unique_ptr<std::FILE, Closer>;

// Set by a stop request (Ctrl-C, SIGTERM); ends the wait between two looks at a followed file
// at once.
class StopFlag {
 public:
  void Set() {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    changed_.notify_all();
  }
  // True when a stop was requested, waiting up to `wait` for one.
  bool Wait(std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, wait, [this] { return stop_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stop_ = false;
};

// The size of the open file; its position is left at `offset`. -1 when it cannot be had.
int64_t OpenSize(std::FILE* in, uint64_t offset) {
  const bool ok = platform::FileSeek(in, 0, SEEK_END);
  const int64_t size = ok ? platform::FileTell(in) : -1;
  platform::FileSeek(in, static_cast<int64_t>(offset), SEEK_SET);
  return size;
}

// Whether the open file still starts with `head`; its position is left at `offset`. A file
// shorter than the head is found by its size; a read that fails is not taken for a change.
bool StartsWith(std::FILE* in, const std::string& head, uint64_t offset) {
  if (head.empty()) return true;
  std::string now(head.size(), '\0');
  const bool read = platform::FileSeek(in, 0, SEEK_SET) && std::fread(now.data(), 1, now.size(), in) == now.size();
  platform::FileSeek(in, static_cast<int64_t>(offset), SEEK_SET);
  return !read || now == head;
}

enum class Change { kNone, kTruncated, kReplaced };

// What a followed file must still show for its reading to go on.
struct Followed {
  platform::FileIdentity opened;  // the file that was opened
  std::string head;               // its first bytes as they were read, up to kHead
  uint64_t offset = 0;            // bytes read
};
// The head holds the longest record whole: a file truncated and written again between two
// looks, as long as before or longer, shows it by its first record.
constexpr size_t kHead = 1024;

// What became of a followed file: it is shorter than what was read, or its first record is
// not the one read; or, once all of it is read (`at_end`), its name leads to another file
// (even one of the same size).
Change Changed(const std::string& path, std::FILE* in, const Followed& f, bool at_end) {
  platform::FileIdentity named;
  // A name that leads nowhere (the file was removed) is waited on: a new file may come.
  if (at_end && platform::PathIdentity(path, &named) && named != f.opened) return Change::kReplaced;
  const int64_t size = OpenSize(in, f.offset);
  if (size < 0) return Change::kNone;
  if (static_cast<uint64_t>(size) < f.offset || !StartsWith(in, f.head, f.offset)) return Change::kTruncated;
  return Change::kNone;
}

// Reads the file as it grows, until a stop request. False when it cannot be read.
bool Follow(const Options& o, File& in, Output& out, uint64_t* damages) {
  static StopFlag* const stop = new StopFlag;  // left for the stop thread, which outlives this
  platform::CatchStopRequests([](platform::StopRequest) { stop->Set(); });
  auto reading = std::make_unique<Reading>(o, out, true);
  std::vector<char> buffer(kChunk);
  Followed followed;
  platform::StreamIdentity(in.get(), &followed.opened);
  while (!stop->Wait(std::chrono::milliseconds(0))) {
    std::clearerr(in.get());  // end of file is only where the writer has got to so far
    const size_t n = std::fread(buffer.data(), 1, buffer.size(), in.get());
    if (n == 0 && std::ferror(in.get())) {
      *damages += reading->damages();
      return false;
    }
    // Looked at after the read: bytes read from a file written again since the last look are
    // not taken for the rest of the one read before. A file replaced under its name is read to
    // its end first.
    followed.offset += n;
    if (const Change change = Changed(o.trace_path, in.get(), followed, n == 0); change != Change::kNone) {
      if (change == Change::kReplaced) {
        File again(platform::OpenFile(o.trace_path, "rb"));
        if (!again) {  // gone again: look once more later
          stop->Wait(kFollowPoll);
          continue;
        }
        in = std::move(again);
        platform::StreamIdentity(in.get(), &followed.opened);
      } else {
        platform::FileSeek(in.get(), 0, SEEK_SET);
      }
      reading->Finish(false);
      *damages += reading->damages();
      out.Flush();
      platform::PrintText(stderr, "halvern-trace: %s: the file was %s; reading it again from the start\n",
                          o.trace_path.c_str(), change == Change::kReplaced ? "replaced" : "truncated");
      reading = std::make_unique<Reading>(o, out, true);
      followed.offset = 0;
      followed.head.clear();
      continue;
    }
    if (n > 0) {
      if (followed.head.size() < kHead) followed.head.append(buffer.data(), std::min(n, kHead - followed.head.size()));
      reading->Feed(buffer.data(), n);
      out.Flush();
      continue;
    }
    stop->Wait(kFollowPoll);
  }
  reading->Finish(false);  // the record being written when the stop came is not damage
  *damages += reading->damages();
  return true;
}

int Run(const Options& o) {
  File in(platform::OpenFile(o.trace_path, "rb"));
  if (!in) {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): one thread so far; the stop thread starts with -f only
    platform::PrintText(stderr, "halvern-trace: cannot open %s: %s\n", o.trace_path.c_str(), std::strerror(errno));
    return kTrouble;
  }

  Output out;
  const std::string out_path = o.mode == Mode::kPcap ? o.pcap_path : "-";
  if (!out.Open(out_path, o.mode == Mode::kRecords)) {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): one thread so far; the stop thread starts with -f only
    platform::PrintText(stderr, "halvern-trace: cannot create %s: %s\n", out_path.c_str(), std::strerror(errno));
    return kTrouble;
  }
  if (o.mode == Mode::kPcap) out.Write(trace_reader::PcapFileHeader());

  uint64_t damages = 0;
  bool read = true;
  if (o.follow) {
    out.Flush();  // a reader of the pcap has its header at once
    read = Follow(o, in, out, &damages);
  } else {
    Reading reading(o, out, false);
    std::vector<char> buffer(kChunk);
    while (const size_t n = std::fread(buffer.data(), 1, buffer.size(), in.get())) reading.Feed(buffer.data(), n);
    read = !std::ferror(in.get());
    if (read) reading.Finish(true);
    damages = reading.damages();
    // A quiet recording: the tracer ran, but nothing was traced.
    if (read && reading.bytes() == 0)
      platform::PrintText(stderr, "halvern-trace: %s: the file is empty, it holds no record\n", o.trace_path.c_str());
  }
  if (!read) {
    out.Close();
    platform::PrintText(stderr, "halvern-trace: cannot read %s\n", o.trace_path.c_str());
    return kTrouble;
  }
  if (!out.Close()) {
    platform::PrintText(stderr, "halvern-trace: cannot write %s\n",
                        out_path == "-" ? "standard output" : out_path.c_str());
    return kTrouble;
  }
  return damages ? kDamaged : kOk;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  const int parsed = ParseOptions(argc, argv, &o);
  if (parsed < 0) return kOk;  // help or version shown
  if (parsed != kOk) return parsed;
  if (!LoadNames(o)) return kTrouble;
  if (o.list_names) return ListNames(o);
  return Run(o);
}
