// The command handlers the dispatch calls. Each returns 0 when it did what was asked, -1 otherwise.
// The command modules declare their own; the simple commands below live in app/.
#pragma once

#include <cstdint>

#include "params/param_console.h"  // params
#include "params/param_file.h"     // param_get, param_set
#include "tracer/main_log.h"       // log
#include "tracer/main_tracer.h"    // tracer
#include "update/fwup.h"           // update, pill_upd, date2pill

int cmVersionCommand(uint8_t port);    // version
int cmFactResetCommand(uint8_t port);  // fact_reset
int cmPowerOffCommand(uint8_t port);   // power_off
int cmRebootCommand(uint8_t port);     // reboot
