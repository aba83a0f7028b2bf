// The usbser keys read from the real registry: HKEY_LOCAL_MACHINE, opened for reading.
#include "platform/registry.h"

#include <windows.h>

namespace platform {
namespace {

class Win32Registry final : public Registry {
 public:
  bool OpenKey(const std::string& path) const override {
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    ::RegCloseKey(key);
    return true;
  }

  bool QueryValue(const std::string& path, const std::string& name, uint8_t* buffer,
                  uint32_t* length) const override {
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    DWORD size = *length;
    // Data longer than the buffer gives ERROR_MORE_DATA: a failure like any other.
    const LSTATUS status = ::RegQueryValueExA(key, name.c_str(), nullptr, nullptr, buffer, &size);
    ::RegCloseKey(key);
    if (status != ERROR_SUCCESS) return false;
    *length = size;
    return true;
  }
};

}  // namespace

// The registry is read key by key as the list is walked: a key that cannot be read is one that is
// not there, so opening it never fails.
std::unique_ptr<Registry> OpenSystemRegistry(std::string* /*error*/) { return std::make_unique<Win32Registry>(); }

std::string PortDeviceName(uint8_t port) { return "COM" + std::to_string(static_cast<int>(port)); }

}  // namespace platform
