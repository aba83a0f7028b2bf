// The one serial port of the program, as the CMBS protocol layer uses it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/serial.h"

// Opens the port whose number is the first byte of *uart_config. on_notice is the receive
// path's wake-up: the port's own thread calls it with SERIAL_DATA whenever bytes arrive and
// once with SERIAL_LINE_GONE when the line goes away. Returns 0, or -1 on failure.
int cmbs_uart_Open(const void* uart_config, platform::DataReceivedFn on_notice);
// Non-blocking: returns the bytes already received (at most max), 0 when none.
size_t cmbs_uart_Read(uint8_t* buffer, size_t max);
// Hands the bytes to the port (bounded by 4000 ms). Returns 0, or -1 when they did not all go.
int cmbs_uart_Write(const uint8_t* buffer, size_t count);
// Waits (at most 4000 ms) until the bytes written have left the PC. Returns 0, or -1 when the
// line went (or the time ran out) with bytes still waiting.
int cmbs_uart_Drain();
// Stops the port's thread and releases the device. Safe after a failed open.
void cmbs_uart_Close();
// True when the last open failed because another program holds the port.
bool cmbs_uart_InUse();
// True when the last open failed because the device is missing or not accessible yet.
bool cmbs_uart_NotReady();
// True when the last open failed because the port's device is not there at all.
bool cmbs_uart_Missing();
// True when the last open of the port failed (whatever came after it was never reached).
bool cmbs_uart_OpenFailed();
// The system's words for why the last open failed; empty when it did not.
std::string cmbs_uart_OpenFailureText();

// Replaces the port's back end (tests); null restores the platform's own. Only while closed.
void cmbs_uart_SetDevice(platform::SerialDevice* device);
