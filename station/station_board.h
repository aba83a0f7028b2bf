// What a station's page shows (-http): the run, a tile per repeater and this run's records. The
// station's loop writes it as its children tell their parent how they go; the page's threads read
// it. Each change is quick and under one lock: the station never waits on a reader.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "session/service_record.h"

// The run, as the page's header shows it.
struct CM_BOARD_RUN {
  std::string command;   // the command keyword
  std::string file;      // the file it sends or reads, as given; empty when none
  std::string sha256;    // the first 12 hex digits of that file's SHA-256; empty when unknown
  std::string expected;  // -expect's version; empty when none
  std::string started;   // ISO 8601 UTC
  int attempts = 1;      // the most services a repeater gets in this run
};

// One repeater's tile.
struct CM_TILE {
  std::string key;  // who the repeater is (the station's name for it)
  int port = 0;
  std::string serial;
  // waiting, linking, transferring, verifying, ok, failed, disconnected, interrupted, skipped
  std::string state = "waiting";
  uint64_t bytes = 0;
  uint64_t total = 0;  // bytes of the file it sends, 0 when none
  double seconds = 0;  // elapsed, or the service's length once it ended
  std::string version_before, version_after;
  int attempt = 0;     // services of this repeater in this run, 0 before the first
  std::string reason;  // why it did not end ok
  std::string log;     // the name of its log under /logs/, empty when none
  bool present = true;
};

struct CM_BOARD_VIEW {
  CM_BOARD_RUN run;
  std::vector<CM_TILE> tiles;  // those present or in progress, then the last finished
  int ok = 0, failed = 0, working = 0, skipped = 0;
  size_t records = 0;
  bool over = false;  // the run has ended
};

class CmBoard {
 public:
  static constexpr size_t kFinishedShown = 50;  // finished tiles kept beside those present

  void SetRun(const CM_BOARD_RUN& run);
  // A repeater is listed (plugged in) or no longer listed.
  void Plugged(const std::string& key, int port, const std::string& serial);
  void Unplugged(const std::string& key);
  // Its service begins: the child has been started.
  void Started(const std::string& key, int port, const std::string& serial, int attempt, uint64_t total);
  // A child's "live" note: "STAGE BYTES TOTAL VERSION" ("-" for what it does not know yet).
  void Live(const std::string& key, const std::string& payload);
  // Its service ended with this record (its line as the report has it).
  void Finished(const std::string& key, const ST_SERVICE_RECORD& record, const std::string& line);
  // The run is over: waiting readers are woken for good.
  void Close();

  CM_BOARD_VIEW View() const;
  // This run's records, oldest first, each as its report line without the newline.
  std::vector<std::string> Records() const;
  // The path of a log this run wrote, by its name; none for any other name.
  std::optional<std::string> LogPath(const std::string& name) const;
  // The change count; waits until it passes seen, the run is over or timeout passes.
  uint64_t WaitChange(uint64_t seen, std::chrono::milliseconds timeout) const;
  uint64_t Changes() const;

 private:
  struct Entry {
    CM_TILE tile;
    std::chrono::steady_clock::time_point begin{};
    bool working = false;
    uint64_t finished_order = 0;  // 0 while never finished
  };
  void Changed();  // under mutex_
  void LetGo();    // under mutex_: drops the finished tiles beyond kFinishedShown

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  uint64_t changes_ = 0;
  bool over_ = false;
  CM_BOARD_RUN run_;
  std::map<std::string, Entry> entries_;
  uint64_t finished_count_ = 0;
  std::vector<std::string> records_;
  std::map<std::string, std::string> logs_;  // name -> path
};

// The view as /api/state's JSON object.
std::string cmBoardStateJson(const CM_BOARD_VIEW& view);
// Records (report lines) as one JSON array.
std::string cmBoardRecordsJson(const std::vector<std::string>& records);
// Where the page serves a log of this run: "/logs/" and its name, percent-encoded; "" for none.
std::string cmBoardLogHref(const std::string& name);
