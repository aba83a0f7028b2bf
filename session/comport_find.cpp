#include "session/comport_find.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr const char* kDriverEnum = "System\\CurrentControlSet\\Services\\usbser\\Enum";
constexpr const char* kEnumRoot = "System\\CurrentControlSet\\Enum\\";  // 30 characters
constexpr const char* kDeviceParameters = "\\Device Parameters";
constexpr size_t kValueSize = 512;
constexpr size_t kKeyPathSize = 512;
constexpr size_t kDescriptionSize = 64;

bool Query(const platform::Registry& registry, const std::string& key, const char* name, uint8_t* buffer,
           size_t capacity) {
  std::memset(buffer, 0, capacity);
  uint32_t length = static_cast<uint32_t>(capacity);
  return registry.QueryValue(key, name, buffer, &length);
}

// Text of a value buffer: up to its first zero (the buffer is zero-filled, one byte spare).
std::string Text(const uint8_t* buffer, size_t capacity) {
  return std::string(reinterpret_cast<const char*>(buffer), strnlen(reinterpret_cast<const char*>(buffer), capacity));
}

// The number behind "COM" (as "COM%d" reads it), low 8 bits; 0 when the text has another form.
uint8_t PortNumber(const std::string& name) {
  if (name.compare(0, 3, "COM") != 0) return 0;
  size_t i = 3;
  while (i < name.size() && std::isspace(static_cast<unsigned char>(name[i]))) ++i;
  bool negative = i < name.size() && name[i] == '-';
  if (i < name.size() && (name[i] == '-' || name[i] == '+')) ++i;
  if (i >= name.size() || !std::isdigit(static_cast<unsigned char>(name[i]))) return 0;
  unsigned value = 0;
  for (; i < name.size() && std::isdigit(static_cast<unsigned char>(name[i])); ++i)
    value = value * 10 + static_cast<unsigned>(name[i] - '0');
  return static_cast<uint8_t>(negative ? 0u - value : value);
}

}  // namespace

uint8_t cmComPortFindIn(const platform::Registry& registry, const char* usb_id) {
  if (!usb_id || !registry.OpenKey(kDriverEnum)) return 0;
  uint8_t value[kValueSize];
  uint8_t description[kDescriptionSize];
  if (!Query(registry, kDriverEnum, "Count", value, sizeof value)) return 0;
  const unsigned count = value[0];  // the low-order byte of the stored number
  for (unsigned i = 0; i < count; ++i) {
    char name[10];
    std::snprintf(name, sizeof name, "%d", i);
    if (!Query(registry, kDriverEnum, name, value, sizeof value)) return 0;  // a gap ends the search
    std::string key = kEnumRoot + Text(value, sizeof value);
    // The key path holds 512 bytes with room for the Device Parameters suffix; a longer id cannot be ours.
    if (key.size() + std::strlen(kDeviceParameters) + 1 > kKeyPathSize) return 0;
    if (!registry.OpenKey(key)) return 0;
    if (!Query(registry, key, "DeviceDesc", description, sizeof description)) return 0;
    if (key.find(usb_id) == std::string::npos) continue;

    key += kDeviceParameters;
    if (!registry.OpenKey(key)) return 0;
    if (!Query(registry, key, "PortName", value, sizeof value)) return 0;
    return PortNumber(Text(value, sizeof value));
  }
  return 0;
}

uint8_t cmComPortFind(const char* usb_id) {
  auto registry = platform::OpenSystemRegistry();
  return registry ? cmComPortFindIn(*registry, usb_id) : 0;
}
