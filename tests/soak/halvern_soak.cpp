// halvern_soak: many sessions of the built halvern against the simulated repeater, each with
// one random fault, and a check that every session ends the way a sound tool ends it.
//
// A session runs one job (firmware update, PILL transfer, param_get or param_set batch, or the
// DECT tracer fed from a pipe) with one fault: a refusal, no answer or a hang-up at a random
// request (the hello included, which carries no result to refuse with), noise in front of the answers, answers split into single
// bytes, one answer that comes later than HALVERN_WAIT_MS, or trace indications pushed while the
// tracer runs (clean, behind noise, in pieces, or cut off by a hang-up). Every session must
//   - end by itself within its time bound (it is killed and counted as hung otherwise),
//   - not die from a signal,
//   - exit 0 exactly when its job could be done (benign faults) and 1 otherwise,
//   - print its success line only with exit 0,
//   - move every byte exactly: the target's firmware and PILL images equal the files, the .out
//     values equal the target's parameter area, a batch changes nothing but its own values,
//     the trace file decodes to the indications pushed,
//   - use less processor time than half its wall time (a tool that waits must not spin),
//   - write nothing on standard error.
//
// Usage:
//   halvern_soak [--sessions N] [--seed S] [--budget SECONDS] [--session K] [--wait-ms MS]
//                [--halvern PATH] [--wine] [--verbose]
// The seed is printed first. A failing session prints its seed, number, fault and command, and
// `halvern_soak --seed S --session K` runs that one session again. --budget stops starting new
// sessions once that many seconds have passed.
//
// --wine: --halvern names the cross-built halvern.exe, run under wine in the prefix that
// tests/wine/run.sh prepares (WINEPREFIX, HALVERN_WINE, HALVERN_WINESERVER as there); the target's
// terminal is linked as COM5 for each run, and the wine server goes before the terminal does.
// Wine's start-up costs processor time of its own, so each session first runs the same command
// without a fault, which has to succeed; the faulted run may then use no more than half of the
// wall time it takes beyond that run in processor time beyond it. run.sh runs it:
//   tests/wine/run.sh --soak-only --soak "--sessions 300"
//
// CI runs a short soak as the ctest test "soak" (label "soak"):
//   ctest --test-dir build -L soak --output-on-failure
// A long one (the sessions take about half a second each; faults that wait take longer):
//   build/tests/soak/halvern_soak --sessions 5000 --budget 3600
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/child.h"
#include "platform/spawn.h"
#include "sim/sim_target.h"
#include "trace_reader/trace_reader.h"

#include <unistd.h>

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr uint16_t kHello = 0xFF01;
constexpr uint16_t kFwStart = 0x000E, kFwNext = 0x0010, kFwEnd = 0x0012;
constexpr uint16_t kPillStart = 0x3095, kPillNext = 0x3097, kPillEnd = 0x3099;
constexpr uint16_t kAreaGet = 0x0033, kAreaSet = 0x0035;
constexpr uint16_t kLoggerConfig = 0x3801, kLoggerStatus = 0x3802;
constexpr int kHelloWaitMs = 5000;  // the link gives the hello this long, whatever HALVERN_WAIT_MS says
constexpr size_t kAreaUsed = 4096;  // the batches use this much of the parameter area

const std::string kFwDone = "FW Update successfully finished";
const std::string kPillDone = "PILL Update finished successfully";
const std::string kTracerUsage = "h\t=>\t help\n\n";
const std::string kStatusLine = "---------------------------\n";

enum class Job { kUpdate, kPill, kParamGet, kParamSet, kTracer };
enum class Kind { kRefuse, kNoAnswer, kHangUp, kNoise, kSplit, kLate, kTrace };

const char* JobName(Job j) {
  switch (j) {
    case Job::kUpdate: return "update";
    case Job::kPill: return "pill_upd";
    case Job::kParamGet: return "param_get";
    case Job::kParamSet: return "param_set";
    case Job::kTracer: return "tracer";
  }
  return "?";
}
const char* KindName(Kind k) {
  switch (k) {
    case Kind::kRefuse: return "refusal";
    case Kind::kNoAnswer: return "no-answer";
    case Kind::kHangUp: return "hang-up";
    case Kind::kNoise: return "noise";
    case Kind::kSplit: return "split";
    case Kind::kLate: return "late";
    case Kind::kTrace: return "trace";
  }
  return "?";
}
std::string EventName(uint16_t e) {
  switch (e) {
    case kHello: return "HELLO";
    case kFwStart: return "FW_START";
    case kFwNext: return "FW_NEXT";
    case kFwEnd: return "FW_END";
    case kPillStart: return "PILL_START";
    case kPillNext: return "PILL_NEXT";
    case kPillEnd: return "PILL_END";
    case kAreaGet: return "AREA_GET";
    case kAreaSet: return "AREA_SET";
    case kLoggerStatus: return "LOGGER_STATUS";
  }
  return std::to_string(e);
}

// One parameter line of a batch.
struct ParamLine {
  uint16_t address = 0;
  std::string address_text;  // as written in the file, decimal or 0x hex
  char type = 'b';           // b, w or a
  Bytes value;               // param_set: what is written; param_get: its length counts
};

// Everything a session does, drawn from its own random stream.
struct Plan {
  Job job = Job::kUpdate;
  Kind kind = Kind::kNoise;
  uint16_t event = 0;      // the request the fault is set on (0: none)
  int occurrence = 1;      // the fault applies from this occurrence of the request
  sim::Fault fault;
  Bytes data;              // firmware image or PILL file
  uint32_t language = 0;
  Bytes area;              // the parameter area before the session
  std::vector<ParamLine> lines;
  std::vector<Bytes> indications;  // trace data, one per indication
  std::vector<std::array<uint8_t, 3>> tasks;  // dst, src, mid per indication
  size_t hang_up_after = 0;  // tracer hang-up: after this many indications
  double late_by = 0.5;      // a late answer comes this part of a wait after the tool gave up
  Bytes noise;               // tracer noise: in front of every indication
  bool faultless = false;    // the same job with no fault at all

  bool Benign() const { return kind == Kind::kNoise || kind == Kind::kSplit || kind == Kind::kTrace; }
  bool Tracer() const { return job == Job::kTracer; }
  std::string FaultText() const {
    if (faultless) return "none (the run to compare with)";
    std::string s = KindName(kind);
    if (Tracer() && event != kHello) {
      if (kind == Kind::kHangUp) s += " after " + std::to_string(hang_up_after) + " indications";
      if (kind == Kind::kTrace || kind == Kind::kNoise || kind == Kind::kSplit)
        s += " with " + std::to_string(indications.size()) + " indications";
      return s;
    }
    if (event) s += " at " + EventName(event) + " #" + std::to_string(occurrence);
    if (kind == Kind::kRefuse) s += " (result " + std::to_string(fault.result) + ")";
    if (kind == Kind::kLate) s += " (by " + std::to_string(static_cast<int>(late_by * 100)) + "% of a wait)";
    return s;
  }
};

Bytes RandomBytes(std::mt19937_64& r, size_t n, bool avoid_sync = false) {
  Bytes b(n);
  for (auto& x : b) {
    do x = static_cast<uint8_t>(r());
    while (avoid_sync && x == 0xDA);
  }
  return b;
}

size_t Uniform(std::mt19937_64& r, size_t lo, size_t hi) {
  return std::uniform_int_distribution<size_t>(lo, hi)(r);
}

// The requests of a job that get an answer, with how often each is sent.
std::vector<std::pair<uint16_t, int>> AnsweredRequests(const Plan& p) {
  switch (p.job) {
    case Job::kUpdate: {
      const int chunks = static_cast<int>((p.data.size() + 255) / 256);
      std::vector<std::pair<uint16_t, int>> r = {{kFwStart, 1}};
      if (chunks > 1) r.push_back({kFwNext, chunks - 1});
      r.push_back({kFwEnd, 1});
      return r;
    }
    case Job::kPill: {
      const int chunks = p.data.empty() ? 0 : static_cast<int>((p.data.size() + 8 + 255) / 256);
      std::vector<std::pair<uint16_t, int>> r = {{kPillStart, 1}};
      if (chunks) r.push_back({kPillNext, chunks});
      r.push_back({kPillEnd, 1});
      return r;
    }
    case Job::kParamGet: return {{kAreaGet, static_cast<int>(p.lines.size())}};
    case Job::kParamSet: return {{kAreaSet, static_cast<int>(p.lines.size())}};
    case Job::kTracer: return {{kLoggerStatus, 1}};
  }
  return {};
}

std::string Hex(const Bytes& b) {
  std::string s;
  char h[3];
  for (uint8_t x : b) {
    std::snprintf(h, sizeof h, "%02X", x);
    s += h;
  }
  return s;
}

void MakeParamLines(Plan& p, std::mt19937_64& r) {
  // Distinct 64-byte slots, so that no two lines touch the same bytes.
  std::vector<uint16_t> slots(kAreaUsed / 64);
  for (size_t i = 0; i < slots.size(); ++i) slots[i] = static_cast<uint16_t>(i * 64);
  std::shuffle(slots.begin(), slots.end(), r);
  const size_t n = Uniform(r, 1, 8);
  for (size_t i = 0; i < n; ++i) {
    ParamLine l;
    l.address = static_cast<uint16_t>(slots[i] + Uniform(r, 0, 16));
    // A read may ask for the address of the read before it again, for another length: an answer
    // that comes too late for the first must not be taken for the second.
    const bool again = p.job == Job::kParamGet && i > 0 && r() % 3 == 0;
    if (again) {
      l.address = p.lines.back().address;
      l.address_text = p.lines.back().address_text;
    } else if (r() % 2) {
      l.address_text = std::to_string(l.address);
    } else {
      char t[8];
      std::snprintf(t, sizeof t, "0x%04X", l.address);
      l.address_text = t;
    }
    // A repeated address comes with another type, so that each .out line names its request.
    const std::string types = again ? std::string("bwa").erase(std::string("bwa").find(p.lines.back().type), 1) : "bwa";
    l.type = types[r() % types.size()];
    const size_t len = l.type == 'b' ? 1 : l.type == 'w' ? 2 : Uniform(r, 3, 40);
    l.value = RandomBytes(r, len);
    p.lines.push_back(l);
  }
}

Plan MakePlan(uint64_t seed, uint64_t session) {
  std::seed_seq seq{static_cast<uint32_t>(seed), static_cast<uint32_t>(seed >> 32), static_cast<uint32_t>(session),
                    static_cast<uint32_t>(session >> 32)};
  std::mt19937_64 r(seq);
  Plan p;
  p.job = static_cast<Job>(r() % 5);
  switch (p.job) {
    case Job::kUpdate: p.data = RandomBytes(r, Uniform(r, 1, 6000)); break;
    case Job::kPill:
      p.data = RandomBytes(r, Uniform(r, 0, 3000));
      p.language = static_cast<uint32_t>(Uniform(r, 0, 254));  // 255 is the command line's "not given"
      break;
    case Job::kParamGet:
    case Job::kParamSet: MakeParamLines(p, r); break;
    case Job::kTracer: {
      const size_t n = Uniform(r, 1, 30);
      for (size_t i = 0; i < n; ++i) {
        p.indications.push_back(RandomBytes(r, Uniform(r, 1, 120)));
        p.tasks.push_back({static_cast<uint8_t>(Uniform(r, 0, 9)), static_cast<uint8_t>(Uniform(r, 0, 9)),
                           static_cast<uint8_t>(r())});
      }
      break;
    }
  }
  p.area = RandomBytes(r, kAreaUsed + 64);

  if (p.Tracer()) {
    const Kind kinds[] = {Kind::kTrace, Kind::kNoise, Kind::kSplit, Kind::kHangUp};
    p.kind = kinds[r() % 4];
    if (r() % 12 == 0) {
      const Kind hello_kinds[] = {Kind::kNoAnswer, Kind::kHangUp, Kind::kLate};
      p.kind = hello_kinds[r() % 3];
      p.event = kHello;
    }
  } else {
    const Kind kinds[] = {Kind::kRefuse, Kind::kNoAnswer, Kind::kHangUp, Kind::kNoise, Kind::kSplit, Kind::kLate};
    p.kind = kinds[r() % 6];
    if (p.kind != Kind::kRefuse && r() % 12 == 0) {
      p.event = kHello;
    } else {
      auto requests = AnsweredRequests(p);
      int total = 0;
      for (const auto& [e, n] : requests) total += n;
      int pick = static_cast<int>(Uniform(r, 0, static_cast<size_t>(total - 1)));
      for (const auto& [e, n] : requests) {
        if (pick < n) {
          p.event = e;
          p.occurrence = pick + 1;
          break;
        }
        pick -= n;
      }
    }
  }

  sim::Fault& f = p.fault;
  f.after = p.occurrence - 1;
  switch (p.kind) {
    case Kind::kRefuse:
      f.result = static_cast<uint8_t>(Uniform(r, 1, 255));
      f.times = 1;
      break;
    case Kind::kNoAnswer:
      f.no_answer = true;
      f.times = 1;
      break;
    case Kind::kHangUp:
      f.hang_up = true;
      p.hang_up_after = p.indications.empty() ? 0 : Uniform(r, 0, p.indications.size() - 1);
      break;
    case Kind::kNoise:  // every answer from there on
    case Kind::kTrace:
      f.noise = RandomBytes(r, Uniform(r, 1, 40), true);
      p.noise = p.kind == Kind::kNoise ? f.noise : Bytes{};
      if (p.kind == Kind::kTrace) f = sim::Fault{};
      break;
    case Kind::kSplit: f.split = true; break;
    case Kind::kLate:
      f.times = 1;  // delay_ms is set from the wait when the session runs
      p.late_by = std::uniform_real_distribution<double>(0.15, 0.85)(r);
      break;
  }
  if (p.Tracer() && p.event != kHello) {
    // The tracer's only answered request is the status the driver asks for at the end.
    p.event = (p.kind == Kind::kNoise || p.kind == Kind::kSplit) ? kLoggerStatus : 0;
    p.occurrence = 1;
    f.after = 0;
  }
  return p;
}

// The same job as p with no fault: benign, nothing set on the target, indications pushed clean.
Plan Faultless(Plan p) {
  p.kind = p.Tracer() ? Kind::kTrace : Kind::kNoise;
  p.event = 0;
  p.occurrence = 1;
  p.fault = sim::Fault{};
  p.noise.clear();
  p.faultless = true;
  return p;
}

// ---- files --------------------------------------------------------------------------------

void WriteFile(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary).write(text.data(), static_cast<std::streamsize>(text.size()));
}
std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string SettingsText(const Plan& p) {
  std::string s = "# soak\n";
  for (const ParamLine& l : p.lines) {
    s += l.address_text + ":" + l.type + ":";
    if (p.job == Job::kParamSet) {
      s += Hex(l.value) + (l.type == 'a' ? ";" : "");
    } else {
      s += l.type == 'b' ? "" : l.type == 'w' ? "0" : std::to_string(l.value.size());
    }
    s += "\n";
  }
  return s;
}

// ---- the line -----------------------------------------------------------------------------

Bytes FrameBytes(uint16_t event, const Bytes& params) {
  const size_t n = params.size();
  Bytes f = {0xDA, 0xDA, 0xDA, 0xDA, uint8_t(n + 8), uint8_t((n + 8) >> 8), 0, 0, uint8_t(event), uint8_t(event >> 8),
             uint8_t(n), uint8_t(n >> 8)};
  f.reserve(f.size() + n);  // also keeps GCC 12 from a false out-of-bounds warning
  f.insert(f.end(), params.begin(), params.end());
  return f;
}

Bytes TraceIndication(const std::array<uint8_t, 3>& task, const Bytes& data) {
  Bytes b = {0x40, 1, task[0], 0x40, 1, task[1], 0x40, 1, task[2], 0x40, 1, 0x00};
  const size_t n = data.size();
  Bytes d = {0x1B, uint8_t(n + 2), uint8_t((n + 2) >> 8), uint8_t(n), uint8_t(n >> 8)};
  b.insert(b.end(), d.begin(), d.end());
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

// The packet the trace file holds for one indication without offsets.
Bytes TracePacket(const std::array<uint8_t, 3>& task, const Bytes& data) {
  Bytes b = {'L', 'G', task[0], task[1], task[2], task[0], static_cast<uint8_t>(data.size())};
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

// ---- one session --------------------------------------------------------------------------

struct Options {
  uint64_t seed = 0;
  uint64_t sessions = 100;
  std::optional<uint64_t> only;  // replay this session alone
  double budget_s = 0;
  int wait_ms = 300;
  std::string halvern = HALVERN_EXE;
  std::string self;
  bool verbose = false;
  bool wine = false;
};

// How the Windows program is run: the loader, the prefix and its server, the modem-line shim.
struct Wine {
  std::string loader, server, prefix;
  std::string shim = HALVERN_TIOCM_SHIM;

  static std::optional<Wine> FromEnv(std::string* missing) {
    Wine w;
    const char* names[] = {"HALVERN_WINE", "HALVERN_WINESERVER", "WINEPREFIX"};
    std::string* fields[] = {&w.loader, &w.server, &w.prefix};
    for (int i = 0; i < 3; ++i) {
      const char* v = std::getenv(names[i]);
      if (!v || !*v) return *missing = names[i], std::nullopt;
      *fields[i] = v;
    }
    if (!fs::exists(w.shim)) return *missing = w.shim + " (build halvern_tiocm_shim)", std::nullopt;
    return w;
  }
  fs::path Com5() const { return fs::path(prefix) / "dosdevices" / "com5"; }
  std::vector<std::pair<std::string, std::string>> Env() const {
    return {{"WINEPREFIX", prefix}, {"WINEDEBUG", "-all"}, {"LD_PRELOAD", shim}};
  }
  // Ends the prefix's server and every program in it.
  void Kill() const { platform::SpawnCapture({server, "-k"}, Env(), "", 60000); }
};

// The prefix's server for one run, with the programs wine starts in a new prefix session already
// running: started by the tool, they would hold its output open after it ended. It goes before
// the run's terminal does: it keeps the COM port's terminal open a while after the program ended.
// Its output goes to $HALVERN_SOAK_WINESERVER_LOG or nowhere: after a hang-up, wine's server
// writes megabytes of object dumps, and a pipe nobody reads would stop it.
class WineServer {
 public:
  explicit WineServer(const Wine& wine) : wine_(wine) {
    const char* log = std::getenv("HALVERN_SOAK_WINESERVER_LOG");
    // The shell tells its process id, which the server takes over.
    if (!child_.Start({"/bin/sh", "-c", "echo $$; exec \"$0\" -f -p </dev/null >>\"$1\" 2>&1", wine.server,
                       log ? log : "/dev/null"},
                      wine.Env()) ||
        !child_.WaitForText("\n", 10000)) {
      return;
    }
    pid_ = std::atoi(child_.Out().c_str());
    auto boot = platform::SpawnCapture({"/bin/sh", "-c", "exec \"$0\" wineboot </dev/null >/dev/null 2>&1", wine.loader},
                                       wine.Env(), "", 60000);
    ready_ = pid_ > 0 && boot.exit_status == 0;
  }
  ~WineServer() { Stop(); }
  WineServer(const WineServer&) = delete;
  WineServer& operator=(const WineServer&) = delete;

  bool Ready() const { return ready_; }
  // The server's processor time so far, from /proc.
  double CpuSeconds() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), {});
    const size_t paren = stat.rfind(')');
    if (pid_ <= 0 || paren == std::string::npos) return 0;
    std::istringstream fields(stat.substr(paren + 2));
    std::string field;
    unsigned long long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
      if (i >= 14) ticks += std::strtoull(field.c_str(), nullptr, 10);  // utime, stime
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  void Stop() {
    if (stopped_) return;
    stopped_ = true;
    wine_.Kill();
    child_.Finish(60000);
  }

 private:
  const Wine& wine_;
  platform::Child child_;
  int pid_ = -1;
  bool ready_ = false, stopped_ = false;
};
const Wine* g_wine = nullptr;  // set with --wine
constexpr int kWineStartMs = 15000;  // how much longer a run under wine may take to end
// Processor time beyond the faultless run's that is never too much: wine's start-up in the tool's
// process varies by about a tenth of a second from run to run. A tool that spins through one wait
// of 300 ms still shows.
constexpr double kWineCpuSlack = 0.2;

struct Outcome {
  std::vector<std::string> failures;  // first one is the class counted
  std::string command;
  int status = -1;
  double wall_s = 0, cpu_s = 0;
  double server_cpu_s = 0;  // under wine: the prefix's server while the tool ran
  std::string out, err;
};

class Session {
 public:
  // base: the outcome of the same job without a fault, when its processor time is the measure.
  Session(const Options& o, const Plan& p, const fs::path& dir, const Outcome* base = nullptr)
      : o_(o), p_(p), dir_(dir), base_(base) {}

  Outcome Run() {
    sim::Fault fault = p_.fault;
    if (p_.kind == Kind::kLate) {
      fault.delay_ms = (p_.event == kHello ? kHelloWaitMs : o_.wait_ms) + static_cast<int>(p_.late_by * o_.wait_ms);
    }
    target_ = std::make_unique<sim::Target>();
    if (!target_->Start() || !target_->LayOutTree((dir_ / "tree").string())) {
      Fail("setup", "the simulated target did not start: " + target_->LastError());
      return outcome_;
    }
    target_->SetParamArea(0, p_.area);
    if (p_.event) target_->SetFault(p_.event, fault);
    if (g_wine) {
      std::error_code ec;
      fs::remove(g_wine->Com5(), ec);
      fs::create_symlink(target_->DevicePath(), g_wine->Com5(), ec);
      if (ec) {
        Fail("setup", "cannot link COM5: " + ec.message());
        return outcome_;
      }
    }

    std::vector<std::string> args = {o_.halvern, "-p", "RX5120", "-cmd", JobName(p_.job)};
    switch (p_.job) {
      case Job::kUpdate:
        WriteFile(dir_ / "fw.bin", std::string(p_.data.begin(), p_.data.end()));
        args.insert(args.end(), {"-fw", "fw.bin"});
        break;
      case Job::kPill:
        WriteFile(dir_ / "pill.bin", std::string(p_.data.begin(), p_.data.end()));
        args.insert(args.end(), {"-pill", "pill.bin", "-lang", std::to_string(p_.language)});
        break;
      case Job::kParamGet:
      case Job::kParamSet:
        WriteFile(dir_ / "soak.txt", SettingsText(p_));
        args.insert(args.end(), {"-settings", "soak.txt"});
        break;
      case Job::kTracer:
        WriteFile(dir_ / "logger.cfg", "m,u\n");
        args.insert(args.end(), {"-tfile", "logger.cfg"});
        break;
    }
    outcome_.command = "HALVERN_WAIT_MS=" + std::to_string(o_.wait_ms) + (o_.wine ? " halvern.exe" : "");
    for (size_t i = 1; i < args.size(); ++i) outcome_.command += " " + args[i];

    int bound_ms = 4000 + 2 * o_.wait_ms + (p_.event == kHello ? kHelloWaitMs + 1000 : 0) + (p_.Tracer() ? 3000 : 0);
    std::vector<std::pair<std::string, std::string>> env = {{"HALVERN_WAIT_MS", std::to_string(o_.wait_ms)}};
    if (g_wine) {
      bound_ms += kWineStartMs;
      args.insert(args.begin(), g_wine->loader);
      for (const auto& e : g_wine->Env()) env.push_back(e);
    } else {
      env.insert(env.end(), {{"HALVERN_SYSFS_ROOT", target_->SysfsRoot()}, {"HALVERN_DEV_ROOT", target_->DevRoot()}});
    }
    deadline_ = Clock::now() + std::chrono::milliseconds(bound_ms);
    const auto start = Clock::now();
    std::optional<WineServer> server;
    double server_cpu_before = 0;
    if (g_wine) {
      server.emplace(*g_wine);
      if (!server->Ready()) {
        Fail("setup", "the wine server did not start: " + g_wine->server);
        return outcome_;
      }
      server_cpu_before = server->CpuSeconds();
    }
    if (!tool_.Start(args, env, dir_.string())) {
      Fail("setup", "halvern did not start: " + o_.halvern);
      return outcome_;
    }
    if (p_.Tracer()) DriveTracer();
    else tool_.CloseInput();
    // The tool has to end by itself; its input stays open for a tracer that must notice a hang-up.
    tool_.WaitForOutput([](const std::string&) { return false; }, MsLeft());
    outcome_.wall_s = std::chrono::duration<double>(Clock::now() - start).count();
    outcome_.status = tool_.Finish(0);
    outcome_.cpu_s = tool_.CpuSeconds();
    outcome_.out = tool_.Out();
    outcome_.err = tool_.Err();
    if (server) {
      outcome_.server_cpu_s = server->CpuSeconds() - server_cpu_before;
      server->Stop();
      std::error_code ec;
      fs::remove(g_wine->Com5(), ec);
    }
    Judge();
    target_.reset();
    return outcome_;
  }

 private:
  int MsLeft() const {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
  }
  void Fail(const std::string& what, const std::string& detail) {
    outcome_.failures.push_back(what + ": " + detail);
  }
  // Console text as the tool writes it: a Windows console program's text mode ends lines in CR LF.
  std::string Console(const std::string& text) const {
    if (!g_wine) return text;
    std::string out;
    for (char c : text) {
      if (c == '\n') out += '\r';
      out += c;
    }
    return out;
  }

  // Pushes the indications while the tracer runs, asks for the status (its answer comes after
  // them on the line) and ends the input once it is shown. A hang-up leaves the input open.
  void DriveTracer() {
    if (p_.event == kHello) return;  // the link does not come up; the tool ends by itself
    if (!tool_.WaitForText(Console(kTracerUsage), MsLeft()) || !target_->WaitForEvent(kLoggerConfig, std::chrono::milliseconds(MsLeft()))) {
      return;  // judged below: it hung or failed before the console ran
    }
    for (size_t i = 0; i < p_.indications.size(); ++i) {
      if (p_.kind == Kind::kHangUp && i == p_.hang_up_after) {
        target_->HangUp();
        return;
      }
      const Bytes frame = FrameBytes(0x3800, TraceIndication(p_.tasks[i], p_.indications[i]));
      if (!p_.noise.empty()) target_->PushBytes(p_.noise);
      if (p_.kind == Kind::kSplit) {
        for (size_t at = 0; at < frame.size(); at += 7) {
          target_->PushBytes(Bytes(frame.begin() + at, frame.begin() + std::min(frame.size(), at + 7)));
          std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
      } else {
        target_->PushBytes(frame);
      }
    }
    tool_.Send("s");
    const std::string status_line = Console(kStatusLine);
    tool_.WaitForOutput(
        [&](const std::string& out) {
          const size_t at = out.find("MSG_FILTER");
          return at != std::string::npos && out.find(status_line, at) != std::string::npos;
        },
        MsLeft());
    tool_.CloseInput();
  }

  void Judge() {
    const int st = outcome_.status;
    if (tool_.TimedOut()) Fail("hung", "did not end within its bound; killed");
    else if (st > 128 && st <= 128 + 64) Fail("signal", "ended by signal " + std::to_string(st - 128));

    const bool expect_success = p_.Benign();
    std::string done_why;  // why the job is not done, when it is not
    const bool done = JobDone(&done_why);
    if (!tool_.TimedOut() && !(st > 128 && st <= 192)) {
      if (st == 0 && !expect_success) Fail("exit", "exit status 0 under a fault that must fail the job");
      if (st != 0 && expect_success) Fail("exit", "exit status " + std::to_string(st) + " under a benign fault");
      if (st != 0 && st != 1) Fail("exit", "exit status " + std::to_string(st) + ", not 0 or 1");
    }
    if (st == 0 && !done) Fail("data", "exit status 0 but " + done_why);
    const std::string success_line = p_.job == Job::kUpdate ? kFwDone : p_.job == Job::kPill ? kPillDone : "";
    if (!success_line.empty() && (outcome_.out.find(success_line) != std::string::npos) != (st == 0)) {
      Fail("success-line", st == 0 ? "exit status 0 without \"" + success_line + "\""
                                   : "\"" + success_line + "\" printed with exit status " + std::to_string(st));
    }
    CheckNoCorruption();
    if (base_) {
      // The tool and the wine server together: a tool that waits in a busy server spins as well.
      const double cpu = outcome_.cpu_s + outcome_.server_cpu_s - base_->cpu_s - base_->server_cpu_s;
      const double wall = outcome_.wall_s - base_->wall_s;
      if (cpu > kWineCpuSlack && cpu > wall / 2) {
        char t[200];
        std::snprintf(t, sizeof t,
                      "%.2f s of processor time (%.2f s in the wine server) in %.2f s: %.2f s more than without the "
                      "fault, in %.2f s more",
                      outcome_.cpu_s + outcome_.server_cpu_s, outcome_.server_cpu_s, outcome_.wall_s, cpu, wall);
        Fail("cpu", t);
      }
    } else if (outcome_.cpu_s > 0.1 && outcome_.cpu_s > outcome_.wall_s / 2) {
      char t[96];
      std::snprintf(t, sizeof t, "%.2f s of processor time in %.2f s", outcome_.cpu_s, outcome_.wall_s);
      Fail("cpu", t);
    }
    if (!outcome_.err.empty()) Fail("stderr", outcome_.err.substr(0, 200));
  }

  // Whether the target holds exactly what the job was to move.
  bool JobDone(std::string* why) {
    switch (p_.job) {
      case Job::kUpdate:
        if (target_->FirmwareImage() != p_.data) return *why = "the target's firmware differs from the image", false;
        if (!target_->FirmwareEnded()) return *why = "the firmware transfer was not ended", false;
        return true;
      case Job::kPill: {
        Bytes expected;
        if (!p_.data.empty()) {
          const uint32_t n = static_cast<uint32_t>(p_.data.size());
          expected = {uint8_t(p_.language), uint8_t(p_.language >> 8), uint8_t(p_.language >> 16),
                      uint8_t(p_.language >> 24), uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)};
          expected.insert(expected.end(), p_.data.begin(), p_.data.end());
        }
        if (target_->PillImage() != expected) return *why = "the target's PILL bytes differ from the file", false;
        if (target_->PillLanguage() != p_.language) return *why = "wrong PILL language", false;
        if (!target_->PillEnded()) return *why = "the PILL transfer was not ended", false;
        return true;
      }
      case Job::kParamSet:
        for (const ParamLine& l : p_.lines) {
          if (target_->ParamArea(l.address, l.value.size()) != l.value)
            return *why = "the value at " + std::to_string(l.address) + " was not written", false;
        }
        return true;
      case Job::kParamGet: {
        auto lines = OutLines();
        if (lines.size() != p_.lines.size())
          return *why = std::to_string(lines.size()) + " of " + std::to_string(p_.lines.size()) + " values in the .out file", false;
        return true;
      }
      case Job::kTracer: {
        std::string damage;
        const auto records = TraceRecords(&damage);
        if (!damage.empty()) return *why = "trace file: " + damage, false;
        std::vector<Bytes> expected;
        for (size_t i = 0; i < p_.indications.size(); ++i) expected.push_back(TracePacket(p_.tasks[i], p_.indications[i]));
        if (records != expected)
          return *why = std::to_string(records.size()) + " trace records for " + std::to_string(expected.size()) +
                        " indications, or their bytes differ",
                 false;
        // The switch-off is the tool's last frame; give the target a moment to take it in.
        for (int i = 0; i < 50 && target_->LoggerSwitch() != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (target_->LoggerSwitch() != 0) return *why = "the logger was not switched off", false;
        return true;
      }
    }
    return false;
  }

  // Whatever the outcome, no byte may be wrong: a .out value differs from the area, a batch
  // touched bytes it does not name, or a partial image is not a prefix of the file.
  void CheckNoCorruption() {
    if (p_.job == Job::kParamGet) {
      size_t next = 0;
      for (const auto& [name, value] : OutLines()) {
        while (next < p_.lines.size() && p_.lines[next].address_text + ":" + p_.lines[next].type != name) ++next;
        if (next == p_.lines.size()) {
          Fail("data", ".out line for " + name + " out of order or not asked for");
          return;
        }
        const ParamLine& l = p_.lines[next++];
        if (value != target_->ParamArea(l.address, l.value.size())) {
          Fail("data", ".out value for " + name + " is " + Hex(value) + ", the area holds " +
                           Hex(target_->ParamArea(l.address, l.value.size())));
        }
      }
    }
    if (p_.job == Job::kParamGet || p_.job == Job::kParamSet) {
      Bytes expected = p_.area;
      Bytes written = p_.area;
      for (const ParamLine& l : p_.lines) std::copy(l.value.begin(), l.value.end(), written.begin() + l.address);
      const Bytes now = target_->ParamArea(0, p_.area.size());
      for (const ParamLine& l : p_.lines) {
        if (p_.job == Job::kParamGet) break;
        // A line is either written or left alone, never half of either.
        const Bytes here = target_->ParamArea(l.address, l.value.size());
        if (here == l.value) std::copy(l.value.begin(), l.value.end(), expected.begin() + l.address);
      }
      if (now != expected) Fail("data", "the parameter area changed where no line of the batch wrote");
    }
    if (p_.job == Job::kUpdate) {
      const Bytes fw = target_->FirmwareImage();
      if (fw.size() > p_.data.size() || !std::equal(fw.begin(), fw.end(), p_.data.begin()))
        Fail("data", "the target's firmware is not a prefix of the image");
    }
  }

  // The .out file's values: "address:type" as written, and the bytes.
  std::vector<std::pair<std::string, Bytes>> OutLines() const {
    std::vector<std::pair<std::string, Bytes>> out;
    std::istringstream in(ReadFile(dir_ / "soak_01_02_0345.out"));
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();  // written as text on Windows
      const size_t a = line.find(':'), b = line.find(':', a + 1);
      if (a == std::string::npos || b == std::string::npos) {
        out.push_back({line, {}});
        continue;
      }
      Bytes value;
      for (size_t i = b + 1; i + 2 <= line.size(); i += 2)
        value.push_back(static_cast<uint8_t>(std::strtoul(line.substr(i, 2).c_str(), nullptr, 16)));
      out.push_back({line.substr(0, b), value});
    }
    return out;
  }

  std::vector<Bytes> TraceRecords(std::string* damage) const {
    std::vector<Bytes> records;
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(dir_))
      if (e.path().filename().string().rfind("cmbs_dect_tracer-", 0) == 0) files.push_back(e.path());
    if (files.size() != 1) {
      *damage = std::to_string(files.size()) + " trace files";
      return records;
    }
    std::string text = ReadFile(files[0]);
    trace_reader::Unscramble(text.data(), text.size(), 0);
    trace_reader::Parser parser([&](const trace_reader::Record& r) { records.emplace_back(r.bytes, r.bytes + r.size); });
    const bool ok = parser.Feed(text.data(), text.size()) && parser.Finish();
    if (!ok && !(text.empty() && p_.indications.empty()) && parser.damage())
      *damage = parser.damage()->what + " at offset " + std::to_string(parser.damage()->offset);
    if (text.empty() && !p_.indications.empty()) *damage = "empty";
    return records;
  }

  const Options& o_;
  const Plan& p_;
  const fs::path dir_;
  const Outcome* base_;
  std::unique_ptr<sim::Target> target_;
  platform::Child tool_;
  Outcome outcome_;
  Clock::time_point deadline_;
};

// ---- driver -------------------------------------------------------------------------------

std::optional<Options> ParseArgs(int argc, char** argv) {
  Options o;
  o.self = argv[0];
  o.seed = std::random_device()() ^ (static_cast<uint64_t>(std::random_device()()) << 32);
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= argc) return std::nullopt;
      return std::string(argv[++i]);
    };
    std::optional<std::string> v;
    if (a == "--verbose" || a == "--wine") {
      (a == "--wine" ? o.wine : o.verbose) = true;
      continue;
    }
    if (a == "-h" || a == "--help" || !(v = value())) return std::nullopt;
    char* end = nullptr;
    const unsigned long long n = std::strtoull(v->c_str(), &end, 0);
    const bool number = !v->empty() && *end == '\0' && (*v)[0] != '-';
    if (a == "--halvern") o.halvern = *v;
    else if (a == "--sessions" && number) o.sessions = n;
    else if (a == "--seed" && number) o.seed = n;
    else if (a == "--session" && number) o.only = n;
    else if (a == "--wait-ms" && number && n > 0 && n < 60000) o.wait_ms = static_cast<int>(n);
    else if (a == "--budget" && number) o.budget_s = static_cast<double>(n);
    else return std::nullopt;
  }
  return o;
}

// The command line that runs session k alone, with the options that shape it.
std::string ReplayLine(const Options& o, uint64_t k) {
  std::string line = "--seed " + std::to_string(o.seed) + " --session " + std::to_string(k);
  if (o.wait_ms != Options{}.wait_ms) line += " --wait-ms " + std::to_string(o.wait_ms);
  // Under wine the session needs run.sh's prefix, which goes when run.sh ends.
  if (o.wine) return "tests/wine/run.sh --soak-only --soak \"" + line + "\"";
  if (o.halvern != HALVERN_EXE) line += " --halvern " + o.halvern;
  return o.self + " " + line;
}

struct TempRoot {
  fs::path path;
  TempRoot() {
    std::random_device random;
    const fs::path p = fs::temp_directory_path() / ("halvern-soak-" + std::to_string(random()) + std::to_string(random()));
    std::error_code ec;
    if (fs::create_directory(p, ec)) path = p;
  }
  ~TempRoot() {
    std::error_code ec;
    if (!path.empty()) fs::remove_all(path, ec);
  }
};

}  // namespace

int main(int argc, char** argv) {
  auto parsed = ParseArgs(argc, argv);
  if (!parsed) {
    std::fprintf(stderr,
                 "usage: halvern_soak [--sessions N] [--seed S] [--budget SECONDS] [--session K] [--wait-ms MS]\n"
                 "                    [--halvern PATH] [--wine] [--verbose]\n");
    return 2;
  }
  const Options o = *parsed;
  std::optional<Wine> wine;
  if (o.wine) {
    std::string missing;
    wine = Wine::FromEnv(&missing);
    if (!wine) {
      std::fprintf(stderr, "halvern_soak: --wine needs %s; tests/wine/run.sh --soak sets it up\n", missing.c_str());
      return 2;
    }
    g_wine = &*wine;
    g_wine->Kill();  // a server left from before knows other terminals
  }
  TempRoot root;
  if (root.path.empty()) {
    std::fprintf(stderr, "halvern_soak: cannot create a temporary directory\n");
    return 1;
  }
  std::printf("halvern_soak: seed %llu, %s, HALVERN_WAIT_MS=%d\n", static_cast<unsigned long long>(o.seed),
              o.only ? ("session " + std::to_string(*o.only)).c_str()
                     : (std::to_string(o.sessions) + " sessions").c_str(),
              o.wait_ms);
  std::fflush(stdout);

  // Counts per fault kind and outcome class ("ok" or the first failure's class).
  std::map<std::string, std::map<std::string, int>> table;
  std::map<std::string, int> jobs_failed;
  const auto start = Clock::now();
  uint64_t ran = 0, failed = 0;
  const uint64_t first = o.only.value_or(0), last = o.only ? *o.only + 1 : o.sessions;
  for (uint64_t k = first; k < last; ++k) {
    if (o.budget_s > 0 && std::chrono::duration<double>(Clock::now() - start).count() > o.budget_s) {
      std::printf("halvern_soak: time budget of %.0f s used up after %llu sessions\n", o.budget_s,
                  static_cast<unsigned long long>(ran));
      break;
    }
    const Plan plan = MakePlan(o.seed, k);
    const fs::path dir = root.path / ("s" + std::to_string(k));
    fs::create_directories(dir / "base");
    // Under wine, the same job without a fault first: it has to succeed, and its processor
    // time is what the faulted run's is measured against.
    std::optional<Outcome> base;
    if (g_wine) {
      base = Session(o, Faultless(plan), dir / "base").Run();
      if (!base->failures.empty()) base->failures[0] = "baseline " + base->failures[0];
    }
    Outcome r = base && !base->failures.empty() ? *base : Session(o, plan, dir, base ? &*base : nullptr).Run();
    std::error_code ec;
    fs::remove_all(dir, ec);
    ++ran;
    const std::string kind = KindName(plan.kind);
    const std::string cls = r.failures.empty() ? "ok" : r.failures[0].substr(0, r.failures[0].find(':'));
    ++table[kind][cls];
    if (!r.failures.empty()) {
      ++failed;
      ++jobs_failed[JobName(plan.job)];
      std::printf("FAIL session %llu (seed %llu): %s, fault: %s\n", static_cast<unsigned long long>(k),
                  static_cast<unsigned long long>(o.seed), JobName(plan.job), plan.FaultText().c_str());
      for (const auto& f : r.failures) std::printf("  %s\n", f.c_str());
      std::printf("  exit %d, %.2f s wall, %.2f s cpu\n  command: %s\n  replay:  %s\n", r.status, r.wall_s,
                  r.cpu_s, r.command.c_str(), ReplayLine(o, k).c_str());
      std::string tail = r.out.size() > 300 ? r.out.substr(r.out.size() - 300) : r.out;
      std::replace(tail.begin(), tail.end(), '\r', '\n');
      std::printf("  output tail: %s\n", tail.c_str());
    } else if (o.verbose) {
      std::printf("ok   session %llu: %s, fault: %s (exit %d, %.2f s, %.2f s cpu", static_cast<unsigned long long>(k),
                  JobName(plan.job), plan.FaultText().c_str(), r.status, r.wall_s, r.cpu_s + r.server_cpu_s);
      if (base) std::printf("; without the fault %.2f s, %.2f s cpu", base->wall_s, base->cpu_s + base->server_cpu_s);
      std::printf(")\n");
    }
    std::fflush(stdout);
  }

  std::printf("\nhalvern_soak: %llu sessions, %llu failed, %.0f s, seed %llu\n", static_cast<unsigned long long>(ran),
              static_cast<unsigned long long>(failed), std::chrono::duration<double>(Clock::now() - start).count(),
              static_cast<unsigned long long>(o.seed));
  for (const auto& [kind, outcomes] : table) {
    std::printf("  %-10s", kind.c_str());
    for (const auto& [cls, n] : outcomes) std::printf(" %s=%d", cls.c_str(), n);
    std::printf("\n");
  }
  if (!jobs_failed.empty()) {
    std::printf("  failed by job:");
    for (const auto& [job, n] : jobs_failed) std::printf(" %s=%d", job.c_str(), n);
    std::printf("\n");
  }
  return failed ? 1 : 0;
}
