// Finding the COM port of a product: the first usbser instance whose registry path
// contains the product's USB id. Prints nothing; 0 means not found.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/registry.h"

uint8_t cmComPortFind(const char* usb_id);
// The same walk over a given registry (tests).
uint8_t cmComPortFindIn(const platform::Registry& registry, const char* usb_id);

// One attached repeater.
struct ST_REPEATER {
  uint8_t port;        // COM port number
  std::string device;  // what the port opens on this system (device node, or COM<n> on Windows)
  std::string serial;  // USB serial number: the last part of the instance id
};

// Every usbser instance whose registry path contains the product's USB id, in the driver's
// list order. Prints nothing; empty when none is attached.
std::vector<ST_REPEATER> cmComPortFindAllIn(const platform::Registry& registry, const char* usb_id);
std::vector<ST_REPEATER> cmComPortFindAll(const char* usb_id);

// A serial number as shown on a console: it comes from the device, so control bytes become '?'.
std::string cmRepeaterSerialShown(const std::string& serial);
// A serial number as a part of a file name: letters, digits, '-' and '_' are kept, every other
// byte becomes '_', so that it can never lead a name into another directory.
std::string cmRepeaterSerialFileTag(const std::string& serial);
