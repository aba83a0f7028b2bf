// The usbser registry keys, synthesised from sysfs: every ttyACM<N> becomes one
// instance of the driver's Enum list, in increasing N, with its USB ids, its product
// text as DeviceDesc and "COM<N+1>" as PortName.
#include "platform/registry.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <system_error>

namespace platform {
namespace {

namespace fs = std::filesystem;

constexpr const char* kDriverEnum = "System\\CurrentControlSet\\Services\\usbser\\Enum";
constexpr const char* kEnumRoot = "System\\CurrentControlSet\\Enum\\";

std::string ReadLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  if (in) std::getline(in, line);
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == ' ')) line.pop_back();
  return line;
}

bool ParseHex16(const std::string& text, unsigned* value) {
  if (text.empty() || text.size() > 4) return false;
  char* end = nullptr;
  unsigned long v = std::strtoul(text.c_str(), &end, 16);
  if (*end != '\0') return false;
  *value = static_cast<unsigned>(v);
  return true;
}

// ttyACM<N> entries of class/tty, sorted by N.
std::vector<std::pair<unsigned, fs::path>> AcmPorts(const fs::path& class_tty) {
  std::vector<std::pair<unsigned, fs::path>> ports;
  std::error_code ec;
  for (fs::directory_iterator it(class_tty, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (name.rfind("ttyACM", 0) != 0 || name.size() == 6 || name.size() > 9) continue;
    if (!std::all_of(name.begin() + 6, name.end(), [](char c) { return c >= '0' && c <= '9'; })) continue;
    ports.emplace_back(static_cast<unsigned>(std::stoul(name.substr(6))), it->path());
  }
  std::sort(ports.begin(), ports.end());
  return ports;
}

}  // namespace

std::unique_ptr<Registry> OpenSystemRegistry() {
  auto registry = std::make_unique<MemoryRegistry>();
  const char* root_env = std::getenv("HALVERN_SYSFS_ROOT");
  fs::path root = (root_env && *root_env) ? root_env : "/sys";

  uint32_t count = 0;
  std::set<std::string> used;
  for (const auto& [n, tty] : AcmPorts(root / "class" / "tty")) {
    std::error_code ec;
    // device -> .../usbX/1-1/1-1:1.0 (the interface); the USB device is its parent.
    fs::path iface = fs::canonical(tty / "device", ec);
    if (ec) continue;
    fs::path usb = iface.parent_path();
    unsigned vid = 0, pid = 0;
    if (!ParseHex16(ReadLine(usb / "idVendor"), &vid) || !ParseHex16(ReadLine(usb / "idProduct"), &pid)) continue;
    std::string serial = ReadLine(usb / "serial");
    if (serial.empty()) serial = usb.filename().string();
    char ids[32];
    std::snprintf(ids, sizeof ids, "USB\\VID_%04X&PID_%04X", vid & 0xFFFF, pid & 0xFFFF);
    std::string instance = ids + ("\\" + serial);
    if (!used.insert(instance).second) {
      // Two ports of one device, or two devices with one serial number: the keys are kept apart
      // in the device part, so that the last part stays the serial number the device reports.
      instance = ids + ("&TTYACM" + std::to_string(n) + "\\" + serial);
      used.insert(instance);
    }
    std::string product = ReadLine(usb / "product");
    std::string key = kEnumRoot + instance;
    registry->SetString(kDriverEnum, std::to_string(count), instance);
    registry->SetString(key, "DeviceDesc", product.empty() ? "USB Serial Device" : product);
    registry->SetString(key + "\\Device Parameters", "PortName", "COM" + std::to_string(n + 1));
    ++count;
  }
  if (count > 0) registry->SetDword(kDriverEnum, "Count", count);
  return registry;
}

std::string PortDeviceName(uint8_t port) {
  const char* root = std::getenv("HALVERN_DEV_ROOT");
  const std::string dir = (root && *root) ? root : "/dev";
  return dir + "/ttyACM" + std::to_string(static_cast<int>(port) - 1);
}

}  // namespace platform
