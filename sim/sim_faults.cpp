// Injected faults: which occurrences of a request a fault hits, and how the answer then
// goes out (refused, late, not at all, after noise, byte by byte, as a hang-up, or followed by
// a stall and a hang-up).
// The refusal itself is applied by the answers, which store nothing for a refused request.
#include "sim/sim_impl.h"

namespace sim {

using namespace wire;

void Target::SetFault(uint16_t request_event, const Fault& fault) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->faults[request_event] = fault;
  impl_->occurrences[request_event] = 0;
}

void Target::ClearFaults() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->faults.clear();
}

// Counts this occurrence of the request and returns its fault, when one is set for it and
// this occurrence lies after the first `after` ones and within `times` of them.
std::optional<Fault> Target::Impl::FaultFor(uint16_t event) {
  const int occurrence = ++occurrences[event];
  auto it = faults.find(event);
  if (it == faults.end()) return std::nullopt;
  const Fault& fault = it->second;
  if (occurrence <= fault.after) return std::nullopt;
  if (fault.times != 0 && occurrence > fault.after + fault.times) return std::nullopt;
  return fault;
}

// A read answered for the address and byte count the fault names; a refusal carries the
// area element without data in front of its response.
void Target::Impl::ReshapeAreaAnswer(const Bytes& request, const Fault& fault, std::optional<Answer>* answer) {
  if (!fault.area_address && !fault.area_count) return;
  const auto asked = DecodeArea(WalkIes(request));
  if (!asked || !*answer) return;
  const uint16_t address = fault.area_address.value_or(asked->address);
  const uint16_t count = fault.result ? 0 : fault.area_count.value_or(asked->count);
  (*answer)->params = AreaReply(asked->type, address, count, fault.result);
}

void Target::Impl::SendWithFault(const Fault& fault, const std::optional<Answer>& answer) {
  if (fault.delay_ms > 0) {
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait_for(lock, std::chrono::milliseconds(fault.delay_ms), [&] { return stop || hangup_requested; });
  }
  if (fault.hang_up) {
    CloseLine();
    return;
  }
  if (fault.stall_ms > 0) FillInput();  // before the answer: the tool writes nothing more after it
  if (fault.no_answer) return;
  const Bytes frame = answer ? BuildFrame(answer->event_id, answer->params) : Bytes{};
  Send(fault.noise, frame, fault.split);
  if (fault.stall_ms > 0) StallThenHangUp(fault.stall_ms);
}

// Fills the queue the tool writes into. The filler goes in through the target's own hold on the
// line; the serving thread, which alone reads the queue, reads nothing more until the hang-up.
void Target::Impl::FillInput() {
  std::lock_guard<std::mutex> guard(line_mutex);
  if (!line_closed) platform::FdFill(pty.slave);
}

void Target::Impl::StallThenHangUp(int stall_ms) {
  {
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait_for(lock, std::chrono::milliseconds(stall_ms), [&] { return stop || hangup_requested; });
  }
  CloseLine();
}

}  // namespace sim
