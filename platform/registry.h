// A read-only view of the registry keys that list the USB serial devices
// (HKEY_LOCAL_MACHINE, opened for reading). Windows reads the real registry;
// Linux synthesises the same keys from sysfs; tests use MemoryRegistry.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace platform {

class Registry {
 public:
  virtual ~Registry() = default;
  // True when the key (a path below HKEY_LOCAL_MACHINE, backslash-separated) can be opened.
  virtual bool OpenKey(const std::string& path) const = 0;
  // Copies the value's data into buffer. `*length` is the capacity on entry and the data
  // length on exit. False when the key or value is missing or the data exceeds the capacity.
  virtual bool QueryValue(const std::string& path, const std::string& name, uint8_t* buffer,
                          uint32_t* length) const = 0;
};

// Registry held in memory: keys with named binary values.
class MemoryRegistry final : public Registry {
 public:
  void AddKey(const std::string& path) { keys_[path]; }
  void SetValue(const std::string& path, const std::string& name, std::vector<uint8_t> data) {
    keys_[path][name] = std::move(data);
  }
  // A REG_SZ value: the text with its terminating zero.
  void SetString(const std::string& path, const std::string& name, const std::string& text) {
    std::vector<uint8_t> data(text.begin(), text.end());
    data.push_back(0);
    SetValue(path, name, std::move(data));
  }
  // A REG_DWORD value: four bytes, low-order byte first.
  void SetDword(const std::string& path, const std::string& name, uint32_t value) {
    SetValue(path, name, {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)});
  }

  bool OpenKey(const std::string& path) const override { return keys_.count(path) != 0; }
  bool QueryValue(const std::string& path, const std::string& name, uint8_t* buffer,
                  uint32_t* length) const override {
    auto key = keys_.find(path);
    if (key == keys_.end()) return false;
    auto value = key->second.find(name);
    if (value == key->second.end() || value->second.size() > *length) return false;
    std::copy(value->second.begin(), value->second.end(), buffer);
    *length = static_cast<uint32_t>(value->second.size());
    return true;
  }

 private:
  std::map<std::string, std::map<std::string, std::vector<uint8_t>>> keys_;
};

// The system's view: on Windows the real registry, on Linux a MemoryRegistry built from
// $HALVERN_SYSFS_ROOT/class/tty/ttyACM<N> (see registry_posix.cpp). Null (the reason in *error
// when given) when the system's list of devices cannot be read: out of file descriptors, an
// unreadable sysfs. An empty list is no failure.
std::unique_ptr<Registry> OpenSystemRegistry(std::string* error = nullptr);

// The port as a user knows it on this system: the device node of COM<port> on Linux
// ($HALVERN_DEV_ROOT/ttyACM<port-1>), "COM<port>" on Windows.
std::string PortDeviceName(uint8_t port);

}  // namespace platform
