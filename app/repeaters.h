// The repeater a run works on when several are attached: chosen by COM port or USB serial
// number, and the list of all of them.
#pragma once

#include <cstdint>

#include "session/product.h"

// The COM port of the product's repeater on COM `port` (0: any) with USB serial number `serial`
// (null: any; a repeater without a serial number goes by its USB path). When there is none,
// says which one is missing and returns 0; 0 too when the devices could not be listed.
uint8_t cmChooseRepeater(const ST_PRODUCT& product, int port, const char* serial);
// -cmd list: one row per attached repeater of the product (those matching port and serial when
// given) with its software version read through the link. 0 when at least one answered, 1 when
// none did, -1 when none is attached or the devices could not be listed.
int cmListRepeaters(const ST_PRODUCT& product, int port, const char* serial);
