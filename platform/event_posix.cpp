#include "platform/event.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace platform {

struct Event::Impl {
  std::mutex mutex;
  std::condition_variable cv;
  bool signalled = false;
  bool manual_reset = false;
};

Event::Event(std::string name, bool manual_reset) : name_(std::move(name)), impl_(std::make_unique<Impl>()) {
  impl_->manual_reset = manual_reset;
}

Event::~Event() = default;

void Event::Set() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->signalled = true;
  }
  if (impl_->manual_reset)
    impl_->cv.notify_all();
  else
    impl_->cv.notify_one();
}

void Event::Reset() {
  std::lock_guard lock(impl_->mutex);
  impl_->signalled = false;
}

bool Event::Wait(uint32_t timeout_ms) {
  std::unique_lock lock(impl_->mutex);
  if (!impl_->cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return impl_->signalled; }))
    return false;
  if (!impl_->manual_reset) impl_->signalled = false;
  return true;
}

}  // namespace platform
