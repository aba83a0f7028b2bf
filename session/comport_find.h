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
  std::string serial;  // USB serial number: the last part of the instance id; empty when it has none
  std::string usb_path;  // where it is plugged in (a USB path such as "1-1.2"); empty when unknown
};

// Every usbser instance whose registry path contains the product's USB id, in the driver's
// list order. An instance id whose last part holds a '&' was generated for a device without a
// serial number. The USB path is the instance's LocationInformation; without it, a generated
// last part stands for it (the system derives it from where the device is plugged in).
// Prints nothing; empty when none is attached.
std::vector<ST_REPEATER> cmComPortFindAllIn(const platform::Registry& registry, const char* usb_id);
std::vector<ST_REPEATER> cmComPortFindAll(const char* usb_id);
// The same, telling a list that could not be read apart from an empty one: false, with the
// reason in *error, when the system's list of devices could not be read (then *found is empty,
// and no repeater is known to be gone).
bool cmComPortListAll(const char* usb_id, std::vector<ST_REPEATER>* found, std::string* error);
// Says on standard error that the list could not be read: "halvern: cannot list the serial
// devices: REASON".
void cmComPortTellListFailure(const std::string& error);

// A serial number as shown on a console: it comes from the device, so control bytes become '?'.
std::string cmRepeaterSerialShown(const std::string& serial);
// A serial number as a part of a file name: letters, digits, '-' and '_' are kept, every other
// byte becomes '_', so that it can never lead a name into another directory.
std::string cmRepeaterSerialFileTag(const std::string& serial);
