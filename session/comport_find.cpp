#include "session/comport_find.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/console_out.h"

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

// The port of a PortName for the list: "COM" and 1 to 255 exactly, else 0 (a port the
// tool could not open by number is no use in a list to choose from).
uint8_t StrictPortNumber(const std::string& name) {
  if (name.size() < 4 || name.size() > 6 || name.compare(0, 3, "COM") != 0) return 0;
  unsigned value = 0;
  for (size_t i = 3; i < name.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return 0;
    value = value * 10 + static_cast<unsigned>(name[i] - '0');
  }
  return value >= 1 && value <= 255 ? static_cast<uint8_t>(value) : 0;
}

// The number of instances in the list: the whole stored number, bounded so that a damaged
// value cannot make the walk endless.
unsigned InstanceCount(const platform::Registry& registry) {
  uint8_t value[kValueSize];
  if (!Query(registry, kDriverEnum, "Count", value, sizeof value)) return 0;
  const uint32_t count = value[0] | uint32_t{value[1]} << 8 | uint32_t{value[2]} << 16 | uint32_t{value[3]} << 24;
  return count > 4096 ? 4096 : count;
}

// The last part of an instance id "USB\\VID_v&PID_p\\SERIAL": all after the second backslash
// (the first two parts never hold one, a serial number may); the whole id when it has another form.
std::string InstanceLastPart(const std::string& instance) {
  const size_t first = instance.find('\\');
  const size_t second = first == std::string::npos ? first : instance.find('\\', first + 1);
  return second == std::string::npos ? instance : instance.substr(second + 1);
}

// A last part the system made up for a device without a serial number.
bool Generated(const std::string& last_part) { return last_part.find('&') != std::string::npos; }

}  // namespace

uint8_t cmComPortFindIn(const platform::Registry& registry, const char* usb_id) {
  if (!usb_id || !registry.OpenKey(kDriverEnum)) return 0;
  uint8_t value[kValueSize];
  uint8_t description[kDescriptionSize];
  if (!Query(registry, kDriverEnum, "Count", value, sizeof value)) return 0;
  const unsigned count = value[0];  // the low-order byte of the stored number
  for (unsigned i = 0; i < count; ++i) {
    char name[10];
    std::snprintf(name, sizeof name, "%u", i);
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

std::vector<ST_REPEATER> cmComPortFindAllIn(const platform::Registry& registry, const char* usb_id) {
  std::vector<ST_REPEATER> found;
  if (!usb_id || !registry.OpenKey(kDriverEnum)) return found;
  const unsigned count = InstanceCount(registry);
  uint8_t value[kValueSize];
  uint8_t description[kDescriptionSize];
  // Unlike the first-match walk, which ends at the first broken entry as it always has, the
  // list skips an entry it cannot read: one damaged instance must not hide the repeaters after it.
  for (unsigned i = 0; i < count; ++i) {
    if (!Query(registry, kDriverEnum, std::to_string(i).c_str(), value, sizeof value)) continue;
    const std::string instance = Text(value, sizeof value);
    std::string key = kEnumRoot + instance;
    if (key.size() + std::strlen(kDeviceParameters) + 1 > kKeyPathSize) continue;
    if (key.find(usb_id) == std::string::npos) continue;
    if (!registry.OpenKey(key) || !Query(registry, key, "DeviceDesc", description, sizeof description)) continue;
    const std::string last_part = InstanceLastPart(instance);
    std::string usb_path = Generated(last_part) ? last_part : std::string();
    if (Query(registry, key, "LocationInformation", value, sizeof value)) usb_path = Text(value, sizeof value);
    key += kDeviceParameters;
    if (!Query(registry, key, "PortName", value, sizeof value)) continue;
    const uint8_t port = StrictPortNumber(Text(value, sizeof value));
    if (port == 0) continue;
    found.push_back({port, platform::PortDeviceName(port), Generated(last_part) ? std::string() : last_part, usb_path});
  }
  return found;
}

std::vector<ST_REPEATER> cmComPortFindAll(const char* usb_id) {
  std::vector<ST_REPEATER> found;
  std::string error;
  cmComPortListAll(usb_id, &found, &error);
  return found;
}

bool cmComPortListAll(const char* usb_id, std::vector<ST_REPEATER>* found, std::string* error) {
  found->clear();
  auto registry = platform::OpenSystemRegistry(error);
  if (!registry) return false;
  *found = cmComPortFindAllIn(*registry, usb_id);
  return true;
}

void cmComPortTellListFailure(const std::string& error) {
  std::fflush(stdout);  // the lines before it first, where both streams go to one place
  platform::PrintText(stderr, "halvern: cannot list the serial devices: %s\n", error.c_str());
}

std::string cmRepeaterSerialShown(const std::string& serial) {
  std::string shown = serial;
  for (char& c : shown)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return shown;
}

std::string cmRepeaterSerialFileTag(const std::string& serial) {
  std::string tag = serial;
  for (char& c : tag)
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' || c == '_')) c = '_';
  return tag;
}
