#include "station/hooks.h"

#include <chrono>
#include <cstdio>

#include "platform/child.h"
#include "session/comport_find.h"

namespace {

std::string Or(const std::optional<std::string>& value) { return value ? *value : std::string(); }

std::string Who(const ST_SERVICE_RECORD& r) {
  return "port " + std::to_string(r.port) + ", serial " + (r.serial ? cmRepeaterSerialShown(*r.serial) : "-");
}

}  // namespace

std::vector<std::pair<std::string, std::string>> cmHookEnvironment(const ST_SERVICE_RECORD& r) {
  return {{"HALVERN_RESULT", r.result},
          {"HALVERN_REASON", Or(r.reason)},
          {"HALVERN_SERIAL", Or(r.serial)},
          {"HALVERN_PORT", std::to_string(r.port)},
          {"HALVERN_COMMAND", r.command},
          {"HALVERN_VERSION_BEFORE", Or(r.version_before)},
          {"HALVERN_VERSION_AFTER", Or(r.version_after)},
          {"HALVERN_LOG", Or(r.log)}};
}

CmHooks::CmHooks(std::string command, int limit_ms) : command_(std::move(command)), limit_ms_(limit_ms) {
  if (!command_.empty()) worker_ = std::thread([this] { Work(); });
}

CmHooks::~CmHooks() {
  {
    std::lock_guard lock(mutex_);
    ending_ = true;
  }
  changed_.notify_all();
  if (worker_.joinable()) worker_.join();
}

void CmHooks::Queue(const ST_SERVICE_RECORD& record, const std::string& line) {
  if (command_.empty()) return;
  {
    std::lock_guard lock(mutex_);
    queue_.push_back({line, Who(record), cmHookEnvironment(record)});
  }
  changed_.notify_all();
}

void CmHooks::Drain() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return queue_.empty() && !busy_; });
}

bool CmHooks::DrainWithin(int timeout_ms) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return queue_.empty() && !busy_; });
}

size_t CmHooks::Pending() {
  std::lock_guard lock(mutex_);
  return queue_.size() + (busy_ ? 1 : 0);
}

std::vector<std::string> CmHooks::TakeFailures() {
  std::lock_guard lock(mutex_);
  return std::exchange(failures_, {});
}

void CmHooks::Work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return ending_ || !queue_.empty(); });
    if (queue_.empty()) return;  // ending, nothing left
    const Job job = std::move(queue_.front());
    queue_.pop_front();
    busy_ = true;
    lock.unlock();
    RunOne(job);
    lock.lock();
    busy_ = false;
    changed_.notify_all();
  }
}

void CmHooks::RunOne(const Job& job) {
  std::string failure;
  platform::Child hook;
  if (!hook.StartShell(command_, job.env)) {
    failure = "could not be started";
  } else {
    hook.Send(job.line);  // a hook that reads nothing may have ended already: no failure
    hook.CloseInput();
    const int status = hook.Wait(limit_ms_);
    if (hook.TimedOut()) {
      char text[48];
      std::snprintf(text, sizeof text, "was ended after %g s", limit_ms_ / 1000.0);
      failure = text;
    } else if (status != 0) {
      failure = "failed (exit status " + std::to_string(status) + ")";
    }
  }
  if (failure.empty()) return;
  std::lock_guard lock(mutex_);
  failures_.push_back("halvern: -ondone for " + job.who + " " + failure);
}
