// Finding the COM port of a product: the first usbser instance whose registry path
// contains the product's USB id. Prints nothing; 0 means not found.
#pragma once

#include <cstdint>

#include "platform/registry.h"

uint8_t cmComPortFind(const char* usb_id);
// The same walk over a given registry (tests).
uint8_t cmComPortFindIn(const platform::Registry& registry, const char* usb_id);
