// The usbser registry keys, synthesised from sysfs: every ttyACM<N> becomes one
// instance of the driver's Enum list, in increasing N, with its USB ids, its product
// text as DeviceDesc and "COM<N+1>" as PortName.
#include "platform/registry.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <system_error>

namespace platform {
namespace {

namespace fs = std::filesystem;

constexpr const char* kDriverEnum = "System\\CurrentControlSet\\Services\\usbser\\Enum";
constexpr const char* kEnumRoot = "System\\CurrentControlSet\\Enum\\";

// The first line of a sysfs attribute, without its line end; empty when the attribute is missing.
// False (the reason in *error) when it is there but cannot be read.
bool ReadLine(const fs::path& file, std::string* line, std::string* error) {
  line->clear();
  std::FILE* in = std::fopen(file.c_str(), "re");
  if (!in) {
    if (errno == ENOENT || errno == ENOTDIR) return true;
    *error = file.string() + ": " + std::generic_category().message(errno);
    return false;
  }
  char buffer[512];
  if (std::fgets(buffer, sizeof buffer, in)) {
    *line = buffer;
  } else if (std::ferror(in)) {
    *error = file.string() + ": " + std::generic_category().message(errno);
    (void)std::fclose(in);  // read only
    return false;
  }
  (void)std::fclose(in);  // read only
  while (!line->empty() && (line->back() == '\r' || line->back() == '\n' || line->back() == ' ')) line->pop_back();
  return true;
}

// A failure of the file system that is not simply "not there": the listing cannot be trusted.
bool ListingFailed(const std::error_code& ec) {
  return ec && ec != std::errc::no_such_file_or_directory;
}

bool ParseHex16(const std::string& text, unsigned* value) {
  if (text.empty() || text.size() > 4) return false;
  char* end = nullptr;
  unsigned long v = std::strtoul(text.c_str(), &end, 16);
  if (*end != '\0') return false;
  *value = static_cast<unsigned>(v);
  return true;
}

// ttyACM<N> entries of class/tty, sorted by N; none when there is no class/tty. False (the
// reason in *error) when the folder is there but cannot be read whole.
bool AcmPorts(const fs::path& class_tty, std::vector<std::pair<unsigned, fs::path>>* found, std::string* error) {
  std::vector<std::pair<unsigned, fs::path>>& ports = *found;
  std::error_code ec;
  fs::directory_iterator it(class_tty, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (name.rfind("ttyACM", 0) != 0 || name.size() == 6 || name.size() > 9) continue;
    if (!std::all_of(name.begin() + 6, name.end(), [](char c) { return c >= '0' && c <= '9'; })) continue;
    ports.emplace_back(static_cast<unsigned>(std::stoul(name.substr(6))), it->path());
  }
  if (ListingFailed(ec)) {
    *error = class_tty.string() + ": " + ec.message();
    return false;
  }
  std::sort(ports.begin(), ports.end());
  return true;
}

}  // namespace

std::unique_ptr<Registry> OpenSystemRegistry(std::string* error) {
  std::string reason;
  if (!error) error = &reason;
  auto registry = std::make_unique<MemoryRegistry>();
  const char* root_env = std::getenv("HALVERN_SYSFS_ROOT");
  fs::path root = (root_env && *root_env) ? root_env : "/sys";

  uint32_t count = 0;
  std::set<std::string> used;
  std::vector<std::pair<unsigned, fs::path>> ports;
  if (!AcmPorts(root / "class" / "tty", &ports, error)) return nullptr;
  for (const auto& [n, tty] : ports) {
    std::error_code ec;
    // device -> .../usbX/1-1/1-1:1.0 (the interface); the USB device is its parent.
    fs::path iface = fs::canonical(tty / "device", ec);
    if (ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory) continue;  // went meanwhile
    if (ec) {
      *error = (tty / "device").string() + ": " + ec.message();
      return nullptr;
    }
    fs::path usb = iface.parent_path();
    std::string vendor, product_id, serial, product;
    if (!ReadLine(usb / "idVendor", &vendor, error) || !ReadLine(usb / "idProduct", &product_id, error) ||
        !ReadLine(usb / "serial", &serial, error) || !ReadLine(usb / "product", &product, error))
      return nullptr;
    // A device that goes takes its files with it while they are read (its serial number may be
    // missing already): listed only when its link still leads where it led.
    std::error_code again;
    if (fs::canonical(tty / "device", again) != iface || again) continue;
    unsigned vid = 0, pid = 0;
    if (!ParseHex16(vendor, &vid) || !ParseHex16(product_id, &pid)) continue;
    // A device without a serial number gets a generated last part, as Windows gives it one: it
    // holds a '&', which no serial number the tool takes as one does.
    const std::string usb_path = usb.filename().string();
    if (serial.empty()) serial = "0&" + usb_path;
    char ids[32];
    std::snprintf(ids, sizeof ids, "USB\\VID_%04X&PID_%04X", vid & 0xFFFF, pid & 0xFFFF);
    std::string instance = ids + ("\\" + serial);
    if (!used.insert(instance).second) {
      // Two ports of one device, or two devices with one serial number: the keys are kept apart
      // in the device part, so that the last part stays the serial number the device reports.
      instance = ids + ("&TTYACM" + std::to_string(n) + "\\" + serial);
      used.insert(instance);
    }
    std::string key = kEnumRoot + instance;
    registry->SetString(kDriverEnum, std::to_string(count), instance);
    registry->SetString(key, "DeviceDesc", product.empty() ? "USB Serial Device" : product);
    registry->SetString(key, "LocationInformation", usb_path);
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
