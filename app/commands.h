// The command handlers. Each returns 0 when it did what was asked, -1 otherwise.
#pragma once

#include <cstdint>

int cmFwUpCommand(uint8_t port, const char* fw_path);                          // update
int cmParamConsole(uint8_t port);                                               // params
int cmParamFileRun(uint8_t port, const char* settings_path, int get);           // param_get (1), param_set (0)
int cmVersionCommand(uint8_t port);                                             // version
int cmLogRun(uint8_t port, const char* log_path, int log_level);                // log
int cmPillUpdCommand(uint8_t port, const char* pill_path, uint8_t language);    // pill_upd
int cmTracerRun(uint8_t port, const char* config_path);                         // tracer
int cmFactResetCommand(uint8_t port);                                           // fact_reset
int cmPowerOffCommand(uint8_t port);                                            // power_off
int cmRebootCommand(uint8_t port);                                              // reboot
int cmPillDateStamp(const char* date, const char* pill_path, uint8_t language); // date2pill
