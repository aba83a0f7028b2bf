// What running a child program means on every system, on top of each system's Pump and Wait.
#include "platform/child.h"

#include <chrono>

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

bool Child::WaitForOutput(const std::function<bool(const std::string&)>& done, int timeout_ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done(out_)) {
    int left = MsLeft(deadline);
    if (left == 0 || !Pump(left)) return done(out_);
  }
  return true;
}

bool Child::WaitForText(const std::string& text, int timeout_ms) {
  return WaitForOutput([&](const std::string& out) { return out.find(text) != std::string::npos; }, timeout_ms);
}

int Child::Finish(int timeout_ms) {
  CloseInput();
  return Wait(timeout_ms);
}

}  // namespace platform
