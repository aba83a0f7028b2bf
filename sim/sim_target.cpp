// The simulated RX5120 target: the public object. The serving thread (sim_line.cpp) hands
// each frame it takes off the line to HandleFrame, which records it, lets the target answer
// it (sim_answers.cpp) and sends the answer as any injected fault shapes it (sim_faults.cpp).
#include "sim/sim_target.h"

#include <algorithm>

#include "sim/sim_impl.h"

namespace sim {

using namespace wire;

Target::Target(Config config) : impl_(std::make_unique<Impl>(std::move(config))) {}

Target::~Target() {
  impl_->Stop();
  impl_->RemoveTree();
}

// One request off the line: recorded, answered from the target state, and the answer
// sent as it is or as the fault set for this occurrence of the request shapes it.
void Target::Impl::HandleFrame(Frame frame) {
  std::optional<Answer> answer;
  std::optional<Fault> fault;
  {
    std::lock_guard<std::mutex> lock(mutex);
    fault = FaultFor(frame.event_id);
    answer = Apply(frame.event_id, frame.params, fault ? fault->result : 0);
    if (fault && frame.event_id == kEvAreaGet) ReshapeAreaAnswer(frame.params, *fault, &answer);
    received.push_back(std::move(frame));
  }
  cv.notify_all();

  if (fault) {
    SendWithFault(*fault, answer);
  } else if (answer) {
    Send({}, BuildFrame(answer->event_id, answer->params), false);
  }
}

bool Target::Impl::Fail(const std::string& why) {
  std::lock_guard<std::mutex> lock(mutex);
  last_error = why;
  return false;
}

std::string Target::LastError() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->last_error;
}

std::vector<Frame> Target::Received() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->received;
}

std::vector<uint8_t> Target::ReceivedBytes() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->received_bytes;
}

bool Target::WaitForFrames(size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  return impl_->cv.wait_for(lock, timeout, [&] { return impl_->received.size() >= n; });
}

bool Target::WaitForEvent(uint16_t event_id, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  return impl_->cv.wait_for(lock, timeout, [&] {
    return std::any_of(impl_->received.begin(), impl_->received.end(),
                       [&](const Frame& f) { return f.event_id == event_id; });
  });
}

bool Target::WaitForPresent(bool present, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  return impl_->cv.wait_for(lock, timeout, [&] { return impl_->present == present; });
}

#define SIM_GETTER(type, name, expr)                  \
  type Target::name() const {                         \
    std::lock_guard<std::mutex> lock(impl_->mutex);   \
    return impl_->expr;                               \
  }
SIM_GETTER(std::vector<uint8_t>, FirmwareImage, firmware)
SIM_GETTER(bool, FirmwareEnded, firmware_ended)
SIM_GETTER(std::vector<uint8_t>, PillImage, pill)
SIM_GETTER(uint32_t, PillLanguage, pill_language)
SIM_GETTER(uint32_t, PillSize, pill_size)
SIM_GETTER(bool, PillEnded, pill_ended)
SIM_GETTER(int, ResetCount, resets)
SIM_GETTER(int, RestartCount, restarts)
SIM_GETTER(bool, Present, present)
SIM_GETTER(int, PowerOffCount, power_offs)
SIM_GETTER(int, FactoryResetCount, factory_resets)
SIM_GETTER(int, LogLevel, log_level)
SIM_GETTER(uint8_t, LoggerSwitch, logger_switch)
SIM_GETTER(uint16_t, LoggerMask, logger_mask)
SIM_GETTER(std::vector<uint8_t>, LoggerList, logger_list)
#undef SIM_GETTER

std::vector<uint8_t> Target::ParamArea(size_t offset, size_t count) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const Bytes& area = impl_->param_area;
  if (offset >= area.size()) return {};
  count = std::min(count, area.size() - offset);
  return Bytes(area.begin() + static_cast<std::ptrdiff_t>(offset),
               area.begin() + static_cast<std::ptrdiff_t>(offset + count));
}

void Target::SetParamArea(size_t offset, const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  Bytes& area = impl_->param_area;
  if (offset >= area.size()) return;
  size_t n = std::min(bytes.size(), area.size() - offset);
  std::copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n),
            area.begin() + static_cast<std::ptrdiff_t>(offset));
}

void Target::SetSysOverview(const uint32_t counters[8]) {
  if (!counters) return;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  std::copy(counters, counters + 8, impl_->overview);
}

void Target::PushLogLine(uint8_t level, const std::string& text) { PushFrame(kEvLogMsg, LogLineParams(level, text)); }

void Target::PushTraceIndication(const std::vector<uint8_t>& params) { PushFrame(kEvTraceInd, params); }

void Target::PushFrame(uint16_t event_id, const std::vector<uint8_t>& params) {
  impl_->Send({}, BuildFrame(event_id, params), false);
}

void Target::PushBytes(const std::vector<uint8_t>& bytes) { impl_->Send(bytes, {}, false); }

}  // namespace sim
