// Events on Win32 kernel event objects.
//
// The link and the commands name their events ("CMBS_REC Path", "FW_Update", ...). A named
// kernel object is shared by every process that uses the same name, so two instances serving
// two repeaters would take each other's signals. Each object therefore gets the name followed
// by the process id and a serial number: still recognisable in a handle list, never opened
// by anyone else (not even by a second Event of the same name in this process).
#include "platform/event.h"

#include <windows.h>

#include <atomic>
#include <cstdio>

namespace platform {

struct Event::Impl {
  HANDLE handle = nullptr;
};

namespace {

std::string PrivateName(const std::string& name) {
  static std::atomic<unsigned> serial{0};
  char suffix[48];
  std::snprintf(suffix, sizeof suffix, " [%lu.%u]", static_cast<unsigned long>(::GetCurrentProcessId()),
                serial.fetch_add(1) + 1);
  // Kernel object names stop at MAX_PATH and cannot hold a backslash.
  std::string base = name.substr(0, MAX_PATH - sizeof suffix);
  for (char& c : base)
    if (c == '\\') c = '/';
  return base + suffix;
}

}  // namespace

Event::Event(std::string name, bool manual_reset) : name_(std::move(name)), impl_(std::make_unique<Impl>()) {
  const std::string kernel_name = PrivateName(name_);
  impl_->handle = ::CreateEventA(nullptr, manual_reset ? TRUE : FALSE, FALSE, kernel_name.c_str());
  if (!impl_->handle)  // the name space may be unavailable (restricted sessions): go unnamed
    impl_->handle = ::CreateEventA(nullptr, manual_reset ? TRUE : FALSE, FALSE, nullptr);
}

Event::~Event() {
  if (impl_->handle) ::CloseHandle(impl_->handle);
}

void Event::Set() {
  if (impl_->handle) ::SetEvent(impl_->handle);
}

void Event::Reset() {
  if (impl_->handle) ::ResetEvent(impl_->handle);
}

bool Event::Wait(uint32_t timeout_ms) {
  if (!impl_->handle) return false;
  return ::WaitForSingleObject(impl_->handle, static_cast<DWORD>(timeout_ms)) == WAIT_OBJECT_0;
}

}  // namespace platform
