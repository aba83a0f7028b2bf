#include "session/repeater_identity.h"

#include <map>

namespace {

// Where the repeater is plugged in: its USB path, or its port when the system gives no path.
std::string PlaceKey(const ST_REPEATER& r) {
  return r.usb_path.empty() ? std::string("port:").append(std::to_string(r.port)) : std::string("usb:").append(r.usb_path);
}

bool SamePlace(const ST_REPEATER& a, const ST_REPEATER& b) { return PlaceKey(a) == PlaceKey(b); }

}  // namespace

std::string cmRepeaterName(const ST_REPEATER& repeater) {
  return repeater.serial.empty() ? repeater.usb_path : repeater.serial;
}

bool cmRepeaterChosen(const ST_REPEATER& repeater, int port, const char* serial) {
  if (port != 0 && repeater.port != port) return false;
  return !serial || (*serial && cmRepeaterName(repeater) == serial);
}

std::vector<std::string> cmRepeaterKeys(const std::vector<ST_REPEATER>& found,
                                        const std::function<const ST_REPEATER*(const std::string&)>& known) {
  std::map<std::string, int> count;
  for (const ST_REPEATER& r : found) ++count[r.serial];
  std::vector<std::string> keys;
  for (const ST_REPEATER& r : found) {
    const std::string by_serial = std::string("sn:").append(r.serial), by_place = PlaceKey(r);
    const ST_REPEATER* named = known(by_serial);
    const ST_REPEATER* placed = known(by_place);
    if (r.serial.empty() || (placed && placed->serial == r.serial)) {
      keys.push_back(by_place);
    } else if (named && SamePlace(*named, r)) {
      keys.push_back(by_serial);
    } else {
      keys.push_back(count[r.serial] == 1 ? by_serial : by_place);
    }
  }
  return keys;
}

bool cmRepeaterKeyIsSerial(const std::string& key) { return key.rfind("sn:", 0) == 0; }
