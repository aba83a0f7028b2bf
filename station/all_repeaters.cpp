#include "station/all_repeaters.h"

#include <algorithm>
#include <chrono>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "params/param_file.h"
#include "platform/child.h"
#include "platform/console_out.h"
#include "platform/file_io.h"
#include "platform/self.h"
#include "platform/terminal.h"
#include "platform/append_file.h"
#include "session/comport_find.h"
#include "session/parent_notes.h"
#include "session/repeater_identity.h"
#include "session/product.h"
#include "session/service_record.h"
#include "session/wait.h"
#include "station/hooks.h"
#include "station/plain_progress.h"
#include "station/service_log.h"
#include "station/station_page.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPumpMs = 200;              // how often the live lines can change
constexpr double kPlainEverySeconds = 5;  // progress lines when the output is not a terminal
constexpr double kRedrawEverySeconds = 0.2;  // live lines on a terminal: at most 5 redraws a second
constexpr int kStopGraceMs = 30000;       // a stopped child that has not ended by then is killed
constexpr int kHookQuietMs = 500;         // hooks still running at the end are waited for this long unsaid

// One repeater's child run.
struct Run {
  ST_REPEATER repeater;
  platform::Child child;
  bool started = false;
  bool done = false;
  int status = -1;
  int stops_sent = 0;
  size_t scanned = 0;  // output already looked at for progress
  long kb = -1;        // last "Writing:" counter, -1 before the first
  uint64_t total = 0;  // bytes of the file it sends, 0 when none
  Clock::time_point begin, end;
  std::chrono::system_clock::time_point started_at;
  int attempt = 1;                // services of this repeater in this run
  std::string unit;               // who the repeater is: the same for each of its services
  bool concluded = false;         // its block shown and its record made (and written)
  bool restart_requested = false;  // the child said a restart request went out
  std::set<std::string> notes;     // the words of the notes the child left
  size_t notes_seen = 0;           // its standard error looked at for live notes so far
  // What the summary needs once the child's output is let go.
  std::optional<ST_SERVICE_RECORD> record;
  std::string version = "-";  // as the child's version line showed it
};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The last "Writing: N Kb" counter in text, or previous when there is none.
long LastCounter(const std::string& text, size_t from, long previous) {
  static const char kTag[] = "Writing: ";
  for (size_t at = text.find(kTag, from); at != std::string::npos; at = text.find(kTag, at + 1))
    previous = std::strtol(text.c_str() + at + sizeof kTag - 1, nullptr, 10);
  return previous;
}

// The "xx.xx.xxxx" of the child's "Product: SW Version" line; "-" when it has none.
std::string VersionOf(const std::string& out) {
  static const char kTag[] = "SW Version ";
  size_t at = out.find(kTag);
  if (at == std::string::npos) return "-";
  at += sizeof kTag - 1;
  return out.substr(at, out.find_first_of("\r\n", at) - at);
}

// A path or value given with -all, made this repeater's own: "{serial}" becomes its serial number
// (as a file-name part) and "{port}" its COM port number, so that each repeater can be given its
// own image or settings file.
std::string ForRepeater(std::string text, const ST_REPEATER& r) {
  const std::pair<std::string, std::string> fields[] = {{"{serial}", cmRepeaterSerialFileTag(cmRepeaterName(r))},
                                                        {"{port}", std::to_string(r.port)}};
  for (const auto& [name, value] : fields)
    for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + value.size()))
      text.replace(at, name.size(), value);
  return text;
}

// The size of the file the command sends to this repeater, 0 when there is none or it cannot be read.
uint64_t TransferSize(const ST_OPTIONS& o, const ST_REPEATER& r) {
  const char* path = o.command == CM_CMD_UPDATE ? o.fw_path : o.command == CM_CMD_PILL_UPD ? o.pill_path : nullptr;
  if (!path) return 0;
  uint64_t size = 0;
  return platform::FileSize(ForRepeater(path, r), &size) ? size : 0;
}

std::string ProgressText(const Run& r, Clock::time_point now) {
  char line[160];
  if (r.kb < 0) {
    std::snprintf(line, sizeof line, "port %3u  %-20s  %s", r.repeater.port, cmRepeaterSerialShown(cmRepeaterName(r.repeater)).c_str(),
                  r.done ? "ended" : "working");
    return line;
  }
  const double seconds = Seconds(now - r.begin);
  const double rate = seconds > 0 ? static_cast<double>(r.kb) / seconds : 0;
  const double total_kb = static_cast<double>(r.total) / 1024;
  int left = rate > 0 && total_kb > static_cast<double>(r.kb) ? static_cast<int>(std::lround((total_kb - static_cast<double>(r.kb)) / rate)) : 0;
  std::snprintf(line, sizeof line, "port %3u  %-20s  %6ld KB  %7.1f KB/s  %3d:%02d left", r.repeater.port,
                cmRepeaterSerialShown(cmRepeaterName(r.repeater)).c_str(), r.kb, rate, left / 60, left % 60);
  return line;
}

// One line for all the repeaters still working, for a terminal too small for a line each.
std::string TotalText(const std::vector<std::unique_ptr<Run>>& runs, Clock::time_point now) {
  int working = 0;
  long kb = 0;
  double rate = 0;
  for (const auto& r : runs) {
    if (!r->started || r->done) continue;
    ++working;
    if (r->kb <= 0) continue;
    kb += r->kb;
    const double seconds = Seconds(now - r->begin);
    if (seconds > 0) rate += static_cast<double>(r->kb) / seconds;
  }
  char line[96];
  std::snprintf(line, sizeof line, "%d repeater%s working  %ld KB  %.1f KB/s", working, working == 1 ? "" : "s", kb,
                rate);
  return line;
}

// The live lines at the bottom of a terminal: one per repeater, redrawn in place.
class LiveLines {
 public:
  explicit LiveLines(bool terminal) : terminal_(terminal) {}
  void Clear() {
    if (terminal_ && shown_ > 0) std::printf("\r\033[%dA\033[J", shown_);
    shown_ = 0;
  }
  void Show(const std::vector<std::unique_ptr<Run>>& runs, Clock::time_point now) {
    if (!terminal_) {
      if (Seconds(now - last_plain_) < kPlainEverySeconds) return;
      last_plain_ = now;
      for (const auto& r : runs)
        if (r->started && !r->done) std::printf("%s\n", ProgressText(*r, now).c_str());
      std::fflush(stdout);
      return;
    }
    // Children write a counter for every chunk they send: the lines follow at a pace a
    // terminal (and a remote one) can take, not at every chunk.
    if (drawn_ && Seconds(now - last_drawn_) < kRedrawEverySeconds) return;
    drawn_ = true;
    last_drawn_ = now;
    Clear();
    std::vector<std::string> lines;
    for (const auto& r : runs)
      if (r->started && !r->done) lines.push_back(ProgressText(*r, now));
    if (lines.empty()) return;
    const platform::TerminalSize size = platform::StdoutTerminalSize();
    // Moving back up counts rows: every line must take exactly one, and all must be on screen.
    for (const std::string& line : cmAllLiveLines(lines, TotalText(runs, now), size.columns, size.rows)) {
      std::printf("%s\033[K\n", line.c_str());
      ++shown_;
    }
    std::fflush(stdout);
  }

 private:
  bool terminal_;
  int shown_ = 0;
  Clock::time_point last_plain_ = Clock::now();
  bool drawn_ = false;
  Clock::time_point last_drawn_{};
};

// The child's own options come first and end with -allchild; the user's arguments follow as typed
// (with {serial} and {port} filled in), so that none of the user's options can take one of the
// child's as its value. The child reads past the -all, -port and -sn among them; the options the
// parent carries out itself (o.parent_only) are left out.
std::vector<std::string> ChildArgs(int argc, const char* const* argv, const ST_OPTIONS& o, const ST_REPEATER& r,
                                   const std::string* tag, const std::string& self) {
  std::vector<std::string> args = {self, "-port", std::to_string(r.port)};
  if (tag) args.emplace_back(CM_OUT_TAG_OPTION + *tag);
  args.emplace_back(CM_ALL_CHILD_OPTION);
  args.reserve(args.size() + static_cast<size_t>(argc));
  for (int i = 1; i < argc; ++i)
    if (std::find(o.parent_only.begin(), o.parent_only.end(), i) == o.parent_only.end())
      args.push_back(ForRepeater(argv[i], r));
  return args;
}

// What param_get's output file of a repeater would be called, whatever its version: two
// repeaters with equal keys could write one file (names compared as a case-blind system would).
std::string OutputKey(const ST_OPTIONS& o, const ST_REPEATER& r, const std::string& tag) {
  std::string key = std::filesystem::path(cmParamOutFileName(ForRepeater(o.settings_path, r), 0, 0, tag))
                        .lexically_normal()
                        .generic_string();
  for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return key;
}

// param_get's output tag of each repeater: its serial number as a file-name part. Repeaters whose
// output files would get one name (serial numbers that differ only in characters a file name
// does not keep, or {serial} in the settings path) get their port added, and the user is told.
std::vector<std::string> OutputTags(const ST_OPTIONS& o, const std::vector<ST_REPEATER>& found) {
  std::vector<std::string> tags;
  tags.reserve(found.size());
  for (const ST_REPEATER& r : found) tags.push_back(cmRepeaterSerialFileTag(cmRepeaterName(r)));
  for (size_t round = 0; round < found.size(); ++round) {
    std::map<std::string, std::vector<size_t>> by_key;
    for (size_t i = 0; i < found.size(); ++i) by_key[OutputKey(o, found[i], tags[i])].push_back(i);
    bool clash = false;
    for (const auto& [key, group] : by_key) {
      if (group.size() < 2) continue;
      clash = true;
      std::string ports;
      for (size_t i : group) {
        tags[i] += "_COM" + std::to_string(found[i].port);
        ports += (ports.empty() ? "COM" : ", COM") + std::to_string(found[i].port);
      }
      platform::PrintText(stderr, "halvern: the repeaters on %s would write one output file: each name gets its port\n",
                          ports.c_str());
    }
    if (!clash) break;
  }
  return tags;
}

// The child's output as a block (out: its standard output as shown), err its standard error
// without the notes it left.
std::string BlockText(const Run& r, const std::string& out, const std::string& err) {
  std::string text = "----- port " + std::to_string(r.repeater.port) + ", serial " +
                     cmRepeaterSerialShown(cmRepeaterName(r.repeater)) + " -----\n";
  if (!r.started) text += "[ERROR] Could not start the tool for this repeater\n";
  text += out;
  text += err;
  if (!out.empty() && out.back() != '\n') text += '\n';
  return text;
}

const char* ResultOf(const Run& r) { return r.record ? r.record->result.c_str() : "failed"; }

// The record of a repeater whose child sent none: it never started, ended before its command,
// was stopped or killed, or crashed.
ST_SERVICE_RECORD MadeRecord(const Run& r, const ST_OPTIONS& o) {
  ST_SERVICE_RECORD record = cmServiceRecordNew(cmCommandName(o.command), r.repeater.port, &r.repeater.serial);
  record.time = cmIsoTimeUtc(r.started_at);
  if (r.version != "-") {
    record.version_before = r.version;
    for (char& c : *record.version_before) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  if (const char* file = cmCommandFile(o)) cmServiceRecordSetFile(&record, ForRepeater(file, r.repeater));
  if (o.expect) record.expected = o.expect;
  if (r.kb > 0 && o.command != CM_CMD_PARAM_SET) record.bytes = static_cast<uint64_t>(r.kb) * 1024;
  record.seconds = r.started ? Seconds(r.end - r.begin) : 0.0;
  const std::string status = std::to_string(r.status);
  if (!r.started) {
    record.reason = CM_REASON_NO_LINK;
    record.message = "Could not start the tool for this repeater";
  } else if (r.status == 255 && r.stops_sent == 0) {
    record.reason = CM_REASON_USAGE;
    record.message = "The run for this repeater ended before its command (exit status 255)";
  } else {  // stopped, killed or crashed in the middle of its command
    record.result = "interrupted";
    record.reason = CM_REASON_INTERRUPTED;
    record.message = "The run for this repeater was ended (exit status " + status + ")";
  }
  return record;
}

// Appends the record's line to its file, opened for this one line only (a run over a thousand
// repeaters holds no file open per repeater). False after the reason on standard error.
bool WriteRecord(const std::string& path, const ST_SERVICE_RECORD& record, const std::string& line) {
  platform::SharedAppendFile file;
  std::string reason;
  if (file.Open(path, &reason) && file.Append(line, &reason)) return true;
  platform::PrintText(stderr, "halvern: cannot write report file '%s': %s: the record of port %d (%s) is lost\n",
                      path.c_str(), reason.c_str(), record.port,
                      record.serial ? record.serial->c_str() : "no serial number");
  return false;
}

// Writes the service's log into the log directory; its path, or none after the reason on
// standard error (the service's result stands).
std::optional<std::string> WriteLog(const std::string& dir, const Run& r, const std::string& text) {
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(dir, ec);  // as the record names its file
  const std::string path = cmServiceLogPath(ec ? dir : absolute.string(), r.repeater.serial, r.repeater.port, r.started_at);
  if (std::string reason; !cmServiceLogWrite(path, text, &reason)) {
    platform::PrintText(stderr, "halvern: cannot write log file '%s': %s\n", path.c_str(), reason.c_str());
    return std::nullopt;
  }
  return path;
}

void PrintSummary(const std::vector<std::unique_ptr<Run>>& runs) {
  std::printf("\n%4s  %-20s  %-12s  %-11s  %10s  %8s  %s\n", "port", "serial", "version", "result", "bytes", "seconds",
              "after");
  for (const auto& r : runs) {
    const uint64_t bytes = r->record && r->record->bytes ? *r->record->bytes : 0;
    const std::string after = r->record && r->record->version_after ? *r->record->version_after : "-";
    std::printf("%4u  %-20s  %-12s  %-11s  %10llu  %8.1f  %s\n", r->repeater.port,
                cmRepeaterSerialShown(cmRepeaterName(r->repeater)).c_str(), r->version.c_str(), ResultOf(*r),
                static_cast<unsigned long long>(bytes), r->started ? Seconds(r->end - r->begin) : 0.0, after.c_str());
  }
  std::fflush(stdout);
}

// How a repeater is named in the totals: its serial number, or its port when it has none.
std::string NameOf(const Run& r) {
  return r.repeater.serial.empty() ? "COM" + std::to_string(r.repeater.port) : r.repeater.serial;
}

}  // namespace

std::vector<std::string> cmAllLiveLines(const std::vector<std::string>& lines, const std::string& total, int columns,
                                        int rows) {
  // The last column is left free (some terminals wrap as soon as it is written), and so is the
  // last row, where the cursor waits below the lines.
  const size_t width = columns > 1 ? static_cast<size_t>(columns - 1) : 1;
  std::vector<std::string> shown = static_cast<int>(lines.size()) < rows ? lines : std::vector<std::string>{total};
  for (std::string& line : shown) {
    if (line.size() <= width) continue;
    size_t cut = width;
    while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;  // not inside a character
    line.resize(cut);
  }
  return shown;
}

bool cmAllOpenReports(const ST_OPTIONS& o, const std::vector<ST_REPEATER>& found) {
  std::map<std::string, bool> tried;
  for (const ST_REPEATER& r : found) {
    const std::string path = ForRepeater(o.report_path, r);
    if (tried[path]) continue;
    tried[path] = true;
    platform::SharedAppendFile file;  // opened to know it can be; each record opens it again
    if (std::string reason; !file.Open(path, &reason)) {
      platform::PrintText(stderr, "halvern: cannot open report file '%s': %s\n", path.c_str(), reason.c_str());
      return false;
    }
  }
  return true;
}

std::string cmAllTotalsLine(const std::vector<CM_UNIT_OUTCOME>& units) {
  const char* const kWords[] = {"ok", "skipped", "failed", "interrupted", "disconnected"};
  std::string line = std::to_string(units.size()) + (units.size() == 1 ? " repeater:" : " repeaters:");
  bool first = true;
  for (const std::string word : kWords) {
    int count = 0;
    std::string names;
    for (const CM_UNIT_OUTCOME& u : units) {
      if (u.result != word) continue;
      ++count;
      names += (names.empty() ? "" : ", ") + u.name;
      if (!u.reason.empty() && u.reason != word) names += ": " + u.reason;
    }
    if (count == 0 && word != "ok") continue;
    line += (first ? " " : ", ") + std::to_string(count) + " " + word;
    if (word != "ok" && word != "skipped") line += " (" + names + ")";
    first = false;
  }
  return line;
}

std::string cmAllOutputKey(const ST_OPTIONS& o, const ST_REPEATER& r, const std::string& tag) {
  return OutputKey(o, r, tag);
}

bool cmAllSupports(int command) {
  switch (command) {
    case CM_CMD_UPDATE:
    case CM_CMD_PILL_UPD:
    case CM_CMD_PARAM_GET:
    case CM_CMD_PARAM_SET:
    case CM_CMD_VERSION:
    case CM_CMD_REBOOT:
    case CM_CMD_POWER_OFF:
    case CM_CMD_FACT_RESET:
      return true;
    default:
      return false;
  }
}

struct CmChildRuns::Impl {
  Impl(int c, const char* const* v, const ST_OPTIONS& options) : argc(c), argv(v), o(options) {}
  int argc;
  const char* const* argv;
  const ST_OPTIONS& o;
  std::string self = platform::SelfExePath();
  std::vector<std::unique_ptr<Run>> runs;
  bool terminal = platform::StdoutIsTerminal();
  LiveLines live{terminal};
  // A hook may take as long as half a command's wait (30 s unless HALVERN_WAIT_MS scales it).
  CmHooks hooks{o.on_done ? o.on_done : "", static_cast<int>(cmFwAppWaitMs() / 2)};
  Clock::time_point first_stop{};
  size_t unstarted_shown = 0;
  bool records_lost = false;  // a record could not be written
  std::unique_ptr<CmBoard> board;         // -http
  std::unique_ptr<CmStationPage> page;    // destroyed first: its threads read the board

  // Shows the block of a run that has ended or never started, settles its record (the child's
  // own, or one made here) and writes it at once, then lets go of the child's output.
  void Conclude(Run* r) {
    if (r->concluded) return;
    r->concluded = true;
    std::string err = r->child.Err();
    std::optional<ST_SERVICE_RECORD> sent;
    for (const ST_PARENT_NOTE& note : cmTakeParentNotes(&err)) {
      ST_SERVICE_RECORD record;
      if (note.word == "record" && cmServiceRecordParse(note.payload, &record)) sent = std::move(record);
      if (note.word == "restart") r->restart_requested = true;
      r->notes.insert(note.word);
    }
    r->version = VersionOf(r->child.Out());
    live.Clear();
    // Where no terminal shows the block (a file, a pipe), and in its log, the counter that
    // overwrites itself becomes a line per tenth of the transfer.
    const std::string plain =
        !terminal || o.log_dir ? BlockText(*r, cmPlainProgress(r->child.Out(), r->total), err) : std::string();
    const std::string block = terminal ? BlockText(*r, r->child.Out(), err) : plain;
    platform::WriteText(stdout, block);  // on a console, the paths in it as they are named
    std::fflush(stdout);
    // Only a whole record counts: a child that left none, or a broken one, gets one made here.
    r->record = sent ? std::move(sent) : MadeRecord(*r, o);
    r->record->attempt = r->attempt;
    r->record->run = cmRunId();
    r->record->log.reset();
    if (o.log_dir) r->record->log = WriteLog(o.log_dir, *r, plain);
    if (r->record->serial && r->record->serial->empty()) r->record->serial.reset();
    const std::string line = cmServiceRecordLine(*r->record);
    if (o.report_path && !WriteRecord(ForRepeater(o.report_path, r->repeater), *r->record, line)) records_lost = true;
    hooks.Queue(*r->record, line);  // after the record, written or not
    if (board) board->Finished(r->unit, *r->record, line);
    // The summary needs only the record's figures: no message, no file names.
    r->record->message.reset();
    r->record->file.reset();
    r->record->file_sha256.reset();
    r->child.ReleaseOutput();
  }

  // The hooks' failures since the last look, between the station's own lines.
  void ShowHookFailures() {
    const std::vector<std::string> failures = hooks.TakeFailures();
    if (failures.empty()) return;
    live.Clear();
    std::fflush(stdout);
    for (const std::string& failure : failures) platform::WriteText(stderr, failure + "\n");
    std::fflush(stderr);
  }
};

CmChildRuns::CmChildRuns(int argc, const char* const* argv, const ST_OPTIONS& o)
    : impl_(std::make_unique<Impl>(argc, argv, o)) {}

CmChildRuns::~CmChildRuns() = default;

size_t CmChildRuns::Start(const ST_REPEATER& repeater, const std::string* tag, int attempt, const std::string& unit) {
  auto r = std::make_unique<Run>();
  r->repeater = repeater;
  r->attempt = attempt;
  r->unit = unit.empty() ? "run:" + std::to_string(impl_->runs.size()) : unit;
  r->begin = r->end = Clock::now();
  r->started_at = std::chrono::system_clock::now();
  r->total = TransferSize(impl_->o, repeater);
  r->started = !impl_->self.empty() &&
               r->child.Start(ChildArgs(impl_->argc, impl_->argv, impl_->o, repeater, tag, impl_->self),
                                    {{CM_CHILD_ENV, "1"}});
  if (r->started) r->child.CloseInput();
  if (impl_->board) impl_->board->Started(r->unit, repeater.port, repeater.serial, attempt, r->total);
  impl_->runs.push_back(std::move(r));
  return impl_->runs.size() - 1;
}

void CmChildRuns::ShowUnstarted() {
  for (; impl_->unstarted_shown < impl_->runs.size(); ++impl_->unstarted_shown) {
    Run& r = *impl_->runs[impl_->unstarted_shown];
    if (!r.started) impl_->Conclude(&r);
  }
}

size_t CmChildRuns::Running() const {
  size_t n = 0;
  for (const auto& r : impl_->runs) n += r->started && !r->done;
  return n;
}

std::vector<size_t> CmChildRuns::Pump(int timeout_ms, int stops) {
  std::vector<size_t> ended;
  std::vector<platform::Child*> running;
  for (const auto& r : impl_->runs)
    if (r->started && !r->done) running.push_back(&r->child);
  if (running.empty()) return ended;
  platform::Child::PumpAll(running, timeout_ms);
  impl_->ShowHookFailures();

  const Clock::time_point now = Clock::now();
  Clock::time_point& first_stop = impl_->first_stop;
  if (stops > 0 && first_stop == Clock::time_point{}) first_stop = now;
  const bool grace_over = first_stop != Clock::time_point{} && ::Seconds(now - first_stop) * 1000 > kStopGraceMs;
  for (size_t i = 0; i < impl_->runs.size(); ++i) {
    Run* r = impl_->runs[i].get();
    if (!r->started || r->done) continue;
    for (; r->stops_sent < stops; ++r->stops_sent) r->child.RequestStop();
    if (impl_->board)
      for (const ST_PARENT_NOTE& note : cmPeekParentNotes(r->child.Err(), &r->notes_seen))
        if (note.word == "live") impl_->board->Live(r->unit, note.payload);
    r->kb = LastCounter(r->child.Out(), r->scanned, r->kb);
    r->scanned = r->child.Out().size() > 16 ? r->child.Out().size() - 16 : 0;  // a counter cut in two is read again
    if (r->child.OutputOpen() && !grace_over) continue;
    r->status = r->child.Wait(grace_over ? 0 : kStopGraceMs);
    r->kb = LastCounter(r->child.Out(), r->scanned, r->kb);
    r->end = Clock::now();
    r->done = true;
    impl_->Conclude(r);
    ended.push_back(i);
  }
  impl_->live.Show(impl_->runs, now);
  return ended;
}

void CmChildRuns::ClearLive() { impl_->live.Clear(); }

bool CmChildRuns::ServePage(int attempts) {
  const ST_OPTIONS& o = impl_->o;
  if (!o.http) return true;
  CM_HTTP_WHERE where;
  std::string error;
  if (!cmHttpWhereParse(o.http, &where, &error)) {
    std::fprintf(stderr, "halvern: -http: %s\n", error.c_str());
    return false;
  }
  CM_BOARD_RUN run;
  run.command = cmCommandName(o.command);
  if (const char* file = cmCommandFile(o)) {
    run.file = file;
    ST_SERVICE_RECORD record;  // its file's SHA-256, as a record names it
    if (run.file.find('{') == std::string::npos) cmServiceRecordSetFile(&record, file);
    if (record.file_sha256) run.sha256 = record.file_sha256->substr(0, 12);
  }
  if (o.expect) run.expected = o.expect;
  run.started = cmIsoTimeUtc(std::chrono::system_clock::now());
  run.attempts = attempts;
  impl_->board = std::make_unique<CmBoard>();
  impl_->board->SetRun(run);
  impl_->page = CmStationPage::Start(where, impl_->board.get(), &error);
  if (!impl_->page) {
    std::fprintf(stderr, "halvern: %s\n", error.c_str());
    return false;
  }
  std::fprintf(stderr, "halvern: the station's page is at %s\n", impl_->page->Url().c_str());
  if (!cmHttpIsLoopback(where.host))
    std::fprintf(stderr, "halvern: the page at %s is readable by anyone on that network\n", impl_->page->Url().c_str());
  std::fflush(stderr);
  return true;
}

CmBoard* CmChildRuns::Board() { return impl_->board.get(); }

void CmChildRuns::ShowHookFailures() { impl_->ShowHookFailures(); }

bool CmChildRuns::Started(size_t run) const { return impl_->runs[run]->started; }

bool CmChildRuns::Succeeded(size_t run) const {
  const Run& r = *impl_->runs[run];
  return r.started && r.status == 0;
}

bool CmChildRuns::RestartRequested(size_t run) const { return impl_->runs[run]->restart_requested; }

bool CmChildRuns::Noted(size_t run, const std::string& word) const { return impl_->runs[run]->notes.count(word) != 0; }

const char* CmChildRuns::Result(size_t run) const { return ResultOf(*impl_->runs[run]); }

double CmChildRuns::Seconds(size_t run) const {
  const Run& r = *impl_->runs[run];
  return r.started ? ::Seconds(r.end - r.begin) : 0.0;
}

bool CmChildRuns::Finish() {
  impl_->live.Clear();
  for (const auto& r : impl_->runs) impl_->Conclude(r.get());  // none is left without its record
  PrintSummary(impl_->runs);
  // The totals count each repeater once, by the outcome of its last service.
  std::vector<CM_UNIT_OUTCOME> units;
  std::map<std::string, size_t> index;
  for (const auto& r : impl_->runs) {
    const auto [at, fresh] = index.emplace(r->unit, units.size());
    if (fresh) units.emplace_back();
    units[at->second] = {NameOf(*r), ResultOf(*r), r->record && r->record->reason ? *r->record->reason : ""};
  }
  std::printf("%s\n", cmAllTotalsLine(units).c_str());
  std::fflush(stdout);
  // The run ends once its hooks have run: a label printer is not left without its last label.
  // The wait is told only when it is more than the moment the last hook takes.
  if (!impl_->hooks.DrainWithin(kHookQuietMs)) {
    const size_t pending = impl_->hooks.Pending();
    platform::PrintText(stderr, "halvern: waiting for %zu hook%s\n", pending, pending == 1 ? "" : "s");
    std::fflush(stderr);
    impl_->hooks.Drain();
  }
  impl_->ShowHookFailures();
  if (impl_->board) impl_->board->Close();
  return !impl_->records_lost;
}

void cmAllCatchStops(CmStopTable* table) {
  platform::CatchStopRequests([table](platform::StopRequest request) { table->Note(request); });
  platform::CatchHangUps(false);
}

int cmAllRun(int argc, const char* const* argv, const ST_OPTIONS& o, const std::vector<ST_REPEATER>& found) {
  const std::vector<std::string> tags = o.command == CM_CMD_PARAM_GET ? OutputTags(o, found) : std::vector<std::string>{};
  // Stop requests are passed on to the children, which end their commands cleanly. Losing the
  // terminal or whoever reads the output is one too: the children are not left to run unseen.
  auto* const stops = new CmStopTable(CmStopTable::Mode::kAll);  // lives as long as the stop thread
  cmAllCatchStops(stops);

  CmChildRuns runs(argc, argv, o);
  if (!runs.ServePage(1)) return 1;
  for (size_t i = 0; i < found.size(); ++i) runs.Start(found[i], i < tags.size() ? &tags[i] : nullptr);
  runs.ShowUnstarted();
  while (runs.Running() > 0) runs.Pump(kPumpMs, stops->Now().child_stops);
  if (!runs.Finish()) return 1;
  for (size_t i = 0; i < found.size(); ++i)
    if (!runs.Succeeded(i)) return 1;
  return 0;
}
