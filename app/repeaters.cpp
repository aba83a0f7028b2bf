#include "app/repeaters.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "session/comport_find.h"
#include "session/fwapp.h"
#include "session/repeater_identity.h"

namespace {

constexpr size_t kPortWidth = 8;      // "COM255" and two spaces
constexpr size_t kVersionWidth = 15;  // "not answering" and two spaces
constexpr const char* kSerialHeader = "SERIAL NUMBER";

// The attached repeaters of the product that match the choice (port 0 and serial null match any).
// False after saying so on standard error when the devices could not be listed.
bool Matching(const ST_PRODUCT& product, int port, const char* serial, std::vector<ST_REPEATER>* found) {
  std::string error;
  if (!cmComPortListAll(product.usb_id, found, &error)) {
    cmComPortTellListFailure(error);
    return false;
  }
  std::erase_if(*found, [&](const ST_REPEATER& r) { return !cmRepeaterChosen(r, port, serial); });
  return true;
}

// The presence error for a choice nothing matched.
void PrintNoneMatching(const ST_PRODUCT& product, int port, const char* serial) {
  if (port != 0 && serial)
    std::printf("[ERROR]No %s with serial number %s on COM%d\n", product.short_name, serial, port);
  else if (port != 0)
    std::printf("[ERROR]No %s on COM%d\n", product.short_name, port);
  else
    std::printf("[ERROR]No %s with serial number %s\n", product.short_name, serial);
}

constexpr const char* kNotAnswering = "not answering";
constexpr const char* kInUse = "in use by another program";

// The software version as the version command shows it, "not answering" when the link does not
// come up, or "in use by another program" when the port is held. The open is quiet: a repeater
// that does not answer is one row, not an error block.
std::string VersionText(uint8_t port) {
  PST_FWAPP_OBJ app = cmFwAppOpenQuiet(cmFwAppPortText(port).c_str());
  if (!app) {
    cmFwAppTellPortMissing(port);
    return cmFwAppPortInUse() ? kInUse : kNotAnswering;
  }
  ST_FWAPP_VERSION version{};
  cmFwAppGetVersion(app, &version);
  cmFwAppClose(app);
  char text[16];
  std::snprintf(text, sizeof text, "%02x.%02x.%04x", version.product_version >> 8, version.product_version & 0xFF,
                version.build);
  return text;
}

void PrintRow(const std::string& port, const std::string& serial, size_t serial_width, const std::string& version,
              const std::string& device) {
  const size_t version_width = std::max(kVersionWidth, version.size() + 2);
  std::printf("%-*s%-*s%-*s%s\n", static_cast<int>(kPortWidth), port.c_str(), static_cast<int>(serial_width),
              serial.c_str(), static_cast<int>(version_width), version.c_str(), device.c_str());
  std::fflush(stdout);  // a silent repeater takes seconds: show each row as it is known
}

}  // namespace

uint8_t cmChooseRepeater(const ST_PRODUCT& product, int port, const char* serial) {
  std::vector<ST_REPEATER> found;
  if (!Matching(product, port, serial, &found)) return 0;
  if (found.empty()) {
    PrintNoneMatching(product, port, serial);
    return 0;
  }
  if (found.size() > 1) {  // one serial number on several devices: the user picks the port
    std::string ports;
    for (const ST_REPEATER& r : found) ports += (ports.empty() ? "COM" : ", COM") + std::to_string(r.port);
    std::printf("[ERROR]%zu %s with serial number %s, on %s: choose one with -port\n", found.size(),
                product.short_name, serial, ports.c_str());
    return 0;
  }
  return found.front().port;
}

int cmListRepeaters(const ST_PRODUCT& product, int port, const char* serial) {
  std::vector<ST_REPEATER> found;
  if (!Matching(product, port, serial, &found)) return -1;
  if (found.empty()) {
    if (port != 0 || serial) PrintNoneMatching(product, port, serial);
    else std::printf("No %s attached\n", product.short_name);
    return -1;
  }
  size_t serial_width = std::char_traits<char>::length(kSerialHeader);
  for (const ST_REPEATER& r : found) serial_width = std::max(serial_width, cmRepeaterName(r).size());
  serial_width += 2;
  PrintRow("PORT", kSerialHeader, serial_width, "SW VERSION", "DEVICE");
  int answered = 0;
  for (const ST_REPEATER& r : found) {
    const std::string version = VersionText(r.port);
    if (version != kNotAnswering && version != kInUse) ++answered;
    PrintRow("COM" + std::to_string(r.port), cmRepeaterSerialShown(cmRepeaterName(r)), serial_width, version, r.device);
  }
  return answered > 0 ? 0 : 1;
}
