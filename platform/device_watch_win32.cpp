// Device changes on Windows: the usbser driver's list in the registry is read again at most four
// times a second (a window-less process gets no device notifications without a message loop of
// its own), and at once when the registry tells of a change to it (RegNotifyChangeKeyValue,
// while its key is there). A wake event ends a wait early. At each look the watch keeps the
// ports that left the list, so that a device gone and back between two listings of the caller
// is still seen going.
#include "platform/device_watch.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <set>
#include <utility>

namespace platform {
namespace {

constexpr int kPollMs = 250;
constexpr const char* kDriverEnum = "System\\CurrentControlSet\\Services\\usbser\\Enum";
constexpr const char* kEnumRoot = "System\\CurrentControlSet\\Enum\\";
constexpr DWORD kMostInstances = 4096;  // a damaged count cannot make the walk endless

// A string value of a key below HKEY_LOCAL_MACHINE; empty when it cannot be read.
std::string ReadString(const std::string& path, const char* name) {
  char buffer[512] = {};
  DWORD size = sizeof buffer - 1;
  if (::RegGetValueA(HKEY_LOCAL_MACHINE, path.c_str(), name, RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS)
    return {};
  return buffer;
}

// The ports ("COM<n>") of the instances the driver lists now.
std::set<std::string> ListedPorts() {
  std::set<std::string> ports;
  DWORD count = 0, size = sizeof count;
  if (::RegGetValueA(HKEY_LOCAL_MACHINE, kDriverEnum, "Count", RRF_RT_REG_DWORD, nullptr, &count, &size) !=
      ERROR_SUCCESS)
    return ports;
  for (DWORD i = 0; i < std::min(count, kMostInstances); ++i) {
    const std::string instance = ReadString(kDriverEnum, std::to_string(i).c_str());
    if (instance.empty()) continue;
    const std::string port = ReadString(kEnumRoot + instance + "\\Device Parameters", "PortName");
    if (!port.empty()) ports.insert(port);
  }
  return ports;
}

}  // namespace

struct DeviceWatch::Os {
  HANDLE wake = nullptr;
  HANDLE changed = nullptr;  // set by the registry when the driver's list changes
  HKEY key = nullptr;        // the driver's list, while it is there and watched
  std::chrono::steady_clock::time_point next_poll{};
  std::set<std::string> ports;       // listed at the last look
  std::vector<std::string> removed;  // gone since TakeRemoved

  // Asks to be told of the next change; false when the list cannot be watched now.
  bool Arm() {
    if (!changed) return false;
    if (!key && ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kDriverEnum, 0, KEY_NOTIFY | KEY_READ, &key) != ERROR_SUCCESS) {
      key = nullptr;
      return false;
    }
    if (::RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET, changed, TRUE) ==
        ERROR_SUCCESS)
      return true;
    ::RegCloseKey(key);  // the key went (no device left): opened again later
    key = nullptr;
    return false;
  }

  // Reads the list and keeps the ports that left it.
  void Look() {
    std::set<std::string> now = ListedPorts();
    for (const std::string& port : ports)
      if (!now.count(port)) removed.push_back(port);
    ports = std::move(now);
  }
};

DeviceWatch::DeviceWatch() : os_(std::make_unique<Os>()) {
  os_->wake = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
  os_->changed = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
  os_->Arm();
  os_->ports = ListedPorts();
}

DeviceWatch::~DeviceWatch() {
  if (os_->key) ::RegCloseKey(os_->key);
  if (os_->changed) ::CloseHandle(os_->changed);
  if (os_->wake) ::CloseHandle(os_->wake);
}

bool DeviceWatch::Polling() const { return true; }

void DeviceWatch::Wake() {
  if (os_->wake) ::SetEvent(os_->wake);
}

std::vector<std::string> DeviceWatch::TakeRemoved() { return std::exchange(os_->removed, {}); }

bool DeviceWatch::Wait(int timeout_ms) {
  using Clock = std::chrono::steady_clock;
  const bool watching = os_->key != nullptr || os_->Arm();
  const auto now = Clock::now();
  if (now >= os_->next_poll) {
    os_->next_poll = now + std::chrono::milliseconds(kPollMs);
    os_->Look();
    return true;
  }
  const auto until = std::min(now + std::chrono::milliseconds(std::max(0, timeout_ms)), os_->next_poll);
  const int64_t wait_ms = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1;
  HANDLE handles[2] = {os_->wake, os_->changed};
  if (!os_->wake) {
    ::Sleep(static_cast<DWORD>(wait_ms));
  } else {
    const DWORD got = ::WaitForMultipleObjects(watching ? 2 : 1, handles, FALSE, static_cast<DWORD>(wait_ms));
    if (got == WAIT_OBJECT_0) return true;
    if (watching && got == WAIT_OBJECT_0 + 1) {  // told at once: read before the device may be back
      os_->Look();
      os_->Arm();
      return true;
    }
  }
  if (Clock::now() < os_->next_poll) return false;
  os_->next_poll = Clock::now() + std::chrono::milliseconds(kPollMs);
  os_->Look();
  return true;
}

}  // namespace platform
