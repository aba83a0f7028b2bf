#include "update/fwup_transfer.h"

#include <atomic>
#include <chrono>
#include <memory>

#include "platform/event.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Transfer {
  std::mutex start_lock;  // held by the command thread while the start request goes out
  // Created and released by the command thread while no engine callback can run.
  std::unique_ptr<platform::Event> completion;
  std::atomic<int> outcome{FWUP_PENDING};
  std::atomic<uint16_t> awaited{0};
  std::atomic<bool> closed{false};
  std::atomic<int64_t> last_answer{0};  // steady clock, nanoseconds
};

Transfer g_transfer;

int64_t Now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

}  // namespace

void cmFwUpTransferBegin(const char* event_name) {
  g_transfer.completion = std::make_unique<platform::Event>(event_name ? event_name : "", true);
  g_transfer.outcome.store(FWUP_PENDING);
  g_transfer.closed.store(false);
  g_transfer.awaited.store(0);
  g_transfer.last_answer.store(Now());
}

void cmFwUpTransferEnd() { g_transfer.completion.reset(); }

void cmFwUpTransferEngineStart() {
  g_transfer.closed.store(false);
  g_transfer.awaited.store(0);
}

void cmFwUpTransferExpect(uint16_t answer_event) {
  // The wait for this answer starts now (the start request goes out after the start pause).
  g_transfer.last_answer.store(Now());
  // Release: what the engine wrote before the request is visible to the answer's handler.
  g_transfer.awaited.store(answer_event, std::memory_order_release);
}

std::mutex& cmFwUpTransferStartLock() { return g_transfer.start_lock; }

bool cmFwUpTransferAccept(uint16_t answer_event) {
  { std::lock_guard<std::mutex> wait_for_start_request(g_transfer.start_lock); }
  uint16_t expected = answer_event;
  if (answer_event == 0 ||
      !g_transfer.awaited.compare_exchange_strong(expected, 0, std::memory_order_acq_rel)) {
    return false;
  }
  g_transfer.last_answer.store(Now());
  return true;
}

void cmFwUpTransferSignal(int outcome) {
  int pending = FWUP_PENDING;
  if (!g_transfer.outcome.compare_exchange_strong(pending, outcome)) return;
  if (g_transfer.completion) g_transfer.completion->Set();
}

void cmFwUpTransferEngineClose(PST_FWAPP_OBJ app) {
  g_transfer.awaited.store(0);
  if (g_transfer.closed.exchange(true)) return;
  cmFwAppClose(app);
  cmFwUpTransferSignal(FWUP_STOPPED);
}

int cmFwUpTransferWait(uint32_t inactivity_ms) {
  platform::Event* completion = g_transfer.completion.get();
  const int64_t window = static_cast<int64_t>(inactivity_ms) * 1000000;
  for (;;) {
    int outcome = g_transfer.outcome.load();
    if (outcome != FWUP_PENDING || !completion) return outcome;
    // The deadline moves with every awaited answer.
    int64_t left = g_transfer.last_answer.load() + window - Now();
    if (left <= 0) return FWUP_PENDING;
    completion->Wait(static_cast<uint32_t>((left + 999999) / 1000000));
  }
}

int cmFwUpTransferFinish(PST_FWAPP_OBJ app) {
  // From the command thread this waits for the receive thread to end: an engine step in
  // progress (the reset request and close after the last answer) completes first.
  cmbs_api_Destroy();
  g_transfer.awaited.store(0);
  if (!g_transfer.closed.exchange(true)) cmFwAppClose(app);
  return g_transfer.outcome.load();
}
