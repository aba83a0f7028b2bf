// -ondone COMMAND: after each service and its record, COMMAND runs through the system's shell
// with the record's line on its standard input and the record's fields in its environment
// (HALVERN_RESULT, HALVERN_REASON, HALVERN_SERIAL, HALVERN_PORT, HALVERN_COMMAND,
// HALVERN_VERSION_BEFORE, HALVERN_VERSION_AFTER, HALVERN_LOG): a label printer, an upload to the
// line's tracking system. Hooks run one at a time, in the order the services end, on a thread of
// their own, so that a hook never delays another repeater's service.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "session/service_record.h"

class CmHooks {
 public:
  // command empty: no hooks. A hook running longer than limit_ms is ended.
  CmHooks(std::string command, int limit_ms);
  ~CmHooks();  // waits for the hooks queued
  CmHooks(const CmHooks&) = delete;
  CmHooks& operator=(const CmHooks&) = delete;

  // Queues the hook of one record (line: the record as written, '\n' included).
  void Queue(const ST_SERVICE_RECORD& record, const std::string& line);
  // Waits until every hook queued has run.
  void Drain();
  // The same for at most timeout_ms; true when none is left.
  bool DrainWithin(int timeout_ms);
  // Hooks queued or running now.
  size_t Pending();
  // The failures since the last call, one console line each (the run shows them between its own
  // lines). A failure never changes a service's result.
  std::vector<std::string> TakeFailures();

 private:
  struct Job {
    std::string line;
    std::string who;  // the repeater, as the console names it
    std::vector<std::pair<std::string, std::string>> env;
  };
  void Work();
  void RunOne(const Job& job);

  std::string command_;
  int limit_ms_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Job> queue_;
  bool busy_ = false;
  bool ending_ = false;
  std::vector<std::string> failures_;
  std::thread worker_;
};

// The environment a hook gets for a record: absent fields are empty.
std::vector<std::pair<std::string, std::string>> cmHookEnvironment(const ST_SERVICE_RECORD& record);
