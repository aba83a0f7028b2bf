// Device changes on Windows: the usbser driver's list in the registry is read again at most four
// times a second (a window-less process gets no device notifications without a message loop of
// its own); a wake event ends a wait early.
#include "platform/device_watch.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace platform {
namespace {

constexpr int kPollMs = 250;

}  // namespace

struct DeviceWatch::Os {
  HANDLE wake = nullptr;
  std::chrono::steady_clock::time_point next_poll{};
};

DeviceWatch::DeviceWatch() : os_(std::make_unique<Os>()) {
  os_->wake = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

DeviceWatch::~DeviceWatch() {
  if (os_->wake) ::CloseHandle(os_->wake);
}

bool DeviceWatch::Polling() const { return true; }

void DeviceWatch::Wake() {
  if (os_->wake) ::SetEvent(os_->wake);
}

bool DeviceWatch::Wait(int timeout_ms) {
  using Clock = std::chrono::steady_clock;
  const auto now = Clock::now();
  if (now >= os_->next_poll) {
    os_->next_poll = now + std::chrono::milliseconds(kPollMs);
    return true;
  }
  const auto until = std::min(now + std::chrono::milliseconds(std::max(0, timeout_ms)), os_->next_poll);
  const int64_t wait_ms = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1;
  if (os_->wake && ::WaitForSingleObject(os_->wake, static_cast<DWORD>(wait_ms)) == WAIT_OBJECT_0) return true;
  if (!os_->wake) ::Sleep(static_cast<DWORD>(wait_ms));
  if (Clock::now() < os_->next_poll) return false;
  os_->next_poll = Clock::now() + std::chrono::milliseconds(kPollMs);
  return true;
}

}  // namespace platform
