#include "station/watch_repeaters.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "station/all_repeaters.h"
#include "station/stop_table.h"
#include "platform/device_watch.h"
#include "session/comport_find.h"
#include "session/product.h"
#include "session/repeater_identity.h"
#include "session/wait.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kIdleWaitMs = 1000;  // nothing to do: only a change or a stop request wakes us
constexpr int kBusyPumpMs = 50;    // children working: how long a plug-in may wait to be noticed
constexpr int kMostServices = 3;   // a repeater that keeps failing is served at most this often
// A device node and the entries that describe its device come and go one after the other: after
// a change the list is read again a little later, so that the later half is not missed.
constexpr std::chrono::milliseconds kSettle[] = {std::chrono::milliseconds(100), std::chrono::milliseconds(1000)};

// A repeater coming back sooner than this after going away has restarted; one coming back later
// was unplugged and plugged in again. 10 s, scaled down with the command waits (HALVERN_WAIT_MS).
Clock::duration RestartBound() { return std::chrono::milliseconds(cmFwAppWaitMs() / 6); }

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// What the station knows of one repeater, told apart by its serial number, or by its port when
// it has none or shares it with another one attached.
struct Seen {
  std::string key;  // its name in the station's list
  ST_REPEATER repeater;
  bool by_port = false;
  bool present = false;
  Clock::time_point gone_at{};
  int services = 0;            // children started for it
  int unopened = 0;            // of those, services whose port never opened: they do not count
  std::optional<size_t> run;   // the child serving it now
  bool ok = false;             // its last service succeeded
  bool restart_sent = false;   // its last service sent it a restart request
  std::string last_result;     // its last service's result word
};

class Station {
 public:
  Station(int argc, const char* const* argv, const ST_OPTIONS& o) : o_(o), runs_(argc, argv, o) {}

  // Lists the repeaters again and serves those that came, unless stopping.
  void Look(bool take_new) {
    std::vector<ST_REPEATER> found;
    // A list that could not be read says nothing of who is there: no repeater counts as gone.
    if (std::string error; !cmComPortListAll(g_products[o_.product].usb_id, &found, &error)) {
      runs_.ClearLive();
      if (!list_failed_) cmComPortTellListFailure(error);  // once until the list can be read again
      list_failed_ = true;
      return;
    }
    list_failed_ = false;
    const std::vector<std::string> keys = KeysOf(found);
    const Clock::time_point now = Clock::now();
    std::map<std::string, bool> listed;
    for (const std::string& key : keys) listed[key] = true;
    for (auto& [key, s] : seen_)
      if (s.present && !listed.count(key)) {
        s.present = false;
        s.gone_at = now;
        if (CmBoard* board = runs_.Board()) board->Unplugged(key);
      }
    for (size_t i = 0; i < found.size(); ++i) {
      const bool known = seen_.count(keys[i]) != 0;
      Seen& s = seen_[keys[i]];
      if (known && s.present) continue;
      s.present = true;
      s.key = keys[i];
      s.repeater = found[i];
      // Its name alone does not tell it apart when another unit has the same serial number (a
      // unit without one goes by its USB path, which is its own).
      s.by_port = !cmRepeaterKeyIsSerial(keys[i]) && (!found[i].serial.empty() || found[i].usb_path.empty());
      if (CmBoard* board = runs_.Board()) board->Plugged(s.key, s.repeater.port, s.repeater.serial);
      if (!take_new || s.run) continue;  // a child serving it sees its restart itself
      if (!known) {
        Serve(&s, "plugged in: serving it");
      } else if (s.ok) {
        Say(s, "back again: served in this watch already, not served again");
      } else if (s.services - s.unopened >= kMostServices) {
        Say(s, "back again: failed " + std::to_string(s.services - s.unopened) + " times in this watch, not served again");
      } else if (!s.restart_sent) {
        // No restart was asked of it: it was taken out and put back (or lost its line), and is
        // served again at once.
        char text[160];
        std::snprintf(text, sizeof text, "plugged in again after %.1f s (a re-seat after a service that ended %s): ",
                      Seconds(now - s.gone_at), s.last_result.c_str());
        Serve(&s, text + ("serving it again (" + std::to_string(s.services - s.unopened + 1) + " of " +
                          std::to_string(kMostServices) + ")"));
      } else if (now - s.gone_at < RestartBound()) {
        char text[96];
        std::snprintf(text, sizeof text, "back again after %.1f s (a restart): not served again", Seconds(now - s.gone_at));
        Say(s, text);
      } else {
        Serve(&s, "plugged in again: serving it again (" + std::to_string(s.services - s.unopened + 1) + " of " +
                      std::to_string(kMostServices) + ")");
      }
    }
  }

  // Reads the children's output for a while; tells of those that ended.
  void Pump(int stops_to_pass) {
    for (size_t run : runs_.Pump(kBusyPumpMs, stops_to_pass)) Ended(run);
  }

  size_t Running() const { return runs_.Running(); }
  bool ServePage() { return runs_.ServePage(kMostServices); }
  void ClearLive() { runs_.ClearLive(); }
  void ShowHookFailures() { runs_.ShowHookFailures(); }

  // The summary table; 0 when every repeater served succeeded.
  int Finish() {
    const bool records = runs_.Finish();
    for (const auto& [key, s] : seen_)
      if (s.services > 0 && !s.ok) return 1;
    return records ? 0 : 1;
  }

 private:
  // Who each listed repeater is (session/repeater_identity.h): a repeater keeps the key it was
  // first known by.
  std::vector<std::string> KeysOf(const std::vector<ST_REPEATER>& found) const {
    return cmRepeaterKeys(found, [this](const std::string& key) -> const ST_REPEATER* {
      const auto it = seen_.find(key);
      return it == seen_.end() ? nullptr : &it->second.repeater;
    });
  }

  std::string Counts() const {
    int ok = 0, skipped = 0, failed = 0;
    for (const auto& [key, s] : seen_) {
      if (s.run || s.services == 0) continue;
      ++(!s.ok ? failed : s.last_result == "skipped" ? skipped : ok);
    }
    // Skipped ones (-skipcurrent) are counted apart, as the totals line does.
    std::string counts = "(";
    counts += std::to_string(runs_.Running()) + " working, " + std::to_string(ok) + " ok, ";
    if (skipped) counts += std::to_string(skipped) + " skipped, ";
    return counts + std::to_string(failed) + " failed)";
  }

  void Say(const Seen& s, const std::string& what) {
    runs_.ClearLive();
    std::printf("watch: port %u, serial %s %s %s\n", s.repeater.port, cmRepeaterSerialShown(cmRepeaterName(s.repeater)).c_str(),
                what.c_str(), Counts().c_str());
    std::fflush(stdout);
  }

  void Serve(Seen* s, const std::string& what) {
    const std::string tag = OutputTag(*s);
    s->run = runs_.Start(s->repeater, o_.command == CM_CMD_PARAM_GET ? &tag : nullptr, s->services + 1, s->key);
    ++s->services;
    s->ok = false;
    s->restart_sent = false;
    Say(*s, what);
    by_run_[*s->run] = s;
    runs_.ShowUnstarted();
    if (!runs_.Started(*s->run)) Ended(*s->run);
  }

  void Ended(size_t run) {
    Seen* s = by_run_[run];
    if (!s || !s->run) return;
    s->run.reset();
    s->ok = runs_.Succeeded(run);
    s->restart_sent = runs_.RestartRequested(run);
    s->last_result = runs_.Result(run);
    if (!s->ok && runs_.Noted(run, "unopened")) ++s->unopened;
    char text[64];
    std::snprintf(text, sizeof text, "ended: %s in %.1f s", runs_.Result(run), runs_.Seconds(run));
    Say(*s, text);
  }

  // param_get's output tag of a service: the repeater's serial number as a file-name part (with
  // its port when it shares its serial number). A name an earlier service of this watch has
  // written (or may have) is never taken again: another repeater's file is never overwritten,
  // even one of the same serial number on the same port.
  std::string OutputTag(const Seen& s) {
    std::string tag = cmRepeaterSerialFileTag(cmRepeaterName(s.repeater));
    if (s.by_port) tag.append("_COM").append(std::to_string(s.repeater.port));
    if (o_.command != CM_CMD_PARAM_GET) return tag;
    const std::string wanted = tag;
    for (int n = 1; output_keys_.count(cmAllOutputKey(o_, s.repeater, tag)); ++n)
    {
      tag = wanted;
      if (!s.by_port) tag.append("_COM").append(std::to_string(s.repeater.port));
      if (n > 1) tag.append("_").append(std::to_string(n));
    }
    if (tag != wanted) {
      std::fflush(stdout);
      std::fprintf(stderr, "halvern: the repeater on COM%u would write the output file of an earlier one in this "
                           "watch: its name gets %s\n", s.repeater.port, tag.substr(wanted.size()).c_str());
    }
    output_keys_.insert(cmAllOutputKey(o_, s.repeater, tag));
    return tag;
  }

  const ST_OPTIONS& o_;
  CmChildRuns runs_;
  std::set<std::string> output_keys_;  // param_get's output files of this watch
  std::map<std::string, Seen> seen_;
  std::map<size_t, Seen*> by_run_;
  bool list_failed_ = false;
};

}  // namespace

bool cmWatchSupports(int command) {
  switch (command) {
    case CM_CMD_UPDATE:
    case CM_CMD_PILL_UPD:
    case CM_CMD_PARAM_GET:
    case CM_CMD_PARAM_SET:
    case CM_CMD_VERSION:
    case CM_CMD_FACT_RESET:
      return true;
    default:
      return false;
  }
}

int cmWatchRun(int argc, const char* const* argv, const ST_OPTIONS& o) {
  auto* const stops = new CmStopTable(CmStopTable::Mode::kWatch);  // lives as long as the stop thread
  platform::DeviceWatch watch;  // from here on no change is missed
  stops->SetWake([&watch] { watch.Wake(); });
  cmAllCatchStops(stops);
  std::printf("Watching for %s repeaters: each one is served as it is plugged in (Ctrl-C stops)\n",
              g_products[o.product].short_name);
  std::fflush(stdout);

  Station station(argc, argv, o);
  if (!station.ServePage()) {
    stops->SetWake({});
    return 1;
  }
  bool changed = true;  // those attached already are served first
  std::vector<Clock::time_point> rechecks;  // listings due after a change, the earliest last
  bool write_failed = false;
  for (;;) {
    // A broken pipe is no signal here: a line written to an output nobody reads fails instead.
    // Where the system cannot watch the pipe itself (Windows), that failure is how the watch
    // learns that its reader is gone.
    if (!write_failed && std::ferror(stdout)) {
      write_failed = true;
      stops->Note(platform::StopRequest::kOutputLost);
    }
    const CmStopTable::Actions now_asked = stops->Now();
    if (const std::string line = stops->Line(now_asked, station.Running()); !line.empty()) {
      station.ClearLive();
      std::printf("%s\n", line.c_str());
      std::fflush(stdout);
    }
    if (const std::string line = stops->LostLine(now_asked, station.Running()); !line.empty())
      std::fprintf(stderr, "%s\n", line.c_str());
    station.ShowHookFailures();  // hooks run while the watch waits too
    if (!now_asked.take_new && station.Running() == 0) break;
    const Clock::time_point now = Clock::now();
    const bool due = !rechecks.empty() && now >= rechecks.back();
    if (due) rechecks.pop_back();
    if (changed || due) station.Look(now_asked.take_new);
    if (changed) rechecks = {now + kSettle[1], now + kSettle[0]};
    int idle_ms = kIdleWaitMs;
    if (!rechecks.empty())
      idle_ms = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(rechecks.back() - now).count());
    if (station.Running() > 0) {
      station.Pump(now_asked.child_stops);
      changed = watch.Wait(0);
    } else {
      changed = watch.Wait(std::clamp(idle_ms, 0, kIdleWaitMs));
    }
  }
  // The stop thread outlives the device watch: once this returns it can no longer reach it.
  stops->SetWake({});
  return station.Finish();
}
