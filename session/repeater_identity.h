// Which attached repeater is which. A repeater is known by its USB serial number; where two
// attached ones share a serial number, or one has none, by where it is plugged in: its USB path
// when the system tells it, or else its COM port. `list`, -sn, -all, -watch and -verify all tell
// repeaters apart this way.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "session/comport_find.h"

// The repeater's name on a console and in file names: its serial number, or its USB path for
// one without a serial number (empty when neither is known).
std::string cmRepeaterName(const ST_REPEATER& repeater);
// True when the repeater is the one a user chose: on COM `port` (0: any) with serial number
// `serial` (null: any; a repeater without a serial number is chosen by its USB path).
bool cmRepeaterChosen(const ST_REPEATER& repeater, int port, const char* serial);
// The key of each listed repeater, "sn:SERIAL" while its serial number is its own, otherwise
// "usb:PATH" or "port:N". known(key) gives the repeater last seen under a key (null when none):
// a repeater keeps the key it was known by while it stays where it was, so that one of a pair
// going away does not make the other a new repeater.
std::vector<std::string> cmRepeaterKeys(const std::vector<ST_REPEATER>& found,
                                        const std::function<const ST_REPEATER*(const std::string&)>& known);
// True for a key that names a repeater by its serial number.
bool cmRepeaterKeyIsSerial(const std::string& key);
