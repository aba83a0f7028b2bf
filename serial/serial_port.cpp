#include "serial/serial_port.h"

#include <memory>

namespace {

platform::SerialDevice* Port() {
  // Never destroyed: the link's own teardown at exit still closes it.
  static platform::SerialDevice* const own = platform::CreateSerialDevice().release();
  return own;
}

platform::SerialDevice* g_override = nullptr;

platform::SerialDevice* Device() { return g_override ? g_override : Port(); }

bool g_open_failed = false;

}  // namespace

int cmbs_uart_Open(const void* uart_config, platform::DataReceivedFn on_notice) {
  g_open_failed = true;
  if (!uart_config) return -1;
  uint8_t port = *static_cast<const uint8_t*>(uart_config);
  g_open_failed = Device()->Open(port, on_notice) != 0;
  return g_open_failed ? -1 : 0;
}

size_t cmbs_uart_Read(uint8_t* buffer, size_t max) { return Device()->Read(buffer, max); }

int cmbs_uart_Write(const uint8_t* buffer, size_t count) { return Device()->Write(buffer, count) == 1 ? 0 : -1; }

int cmbs_uart_Drain() { return Device()->Drain() == 1 ? 0 : -1; }

void cmbs_uart_Close() { Device()->Close(); }

bool cmbs_uart_InUse() { return Device()->OpenFailedInUse(); }

bool cmbs_uart_NotReady() { return g_open_failed && Device()->OpenFailedNotReady(); }

bool cmbs_uart_Missing() { return g_open_failed && Device()->OpenFailedMissing(); }

bool cmbs_uart_OpenFailed() { return g_open_failed; }

std::string cmbs_uart_OpenFailureText() { return g_open_failed ? Device()->OpenFailureText() : std::string(); }

void cmbs_uart_SetDevice(platform::SerialDevice* device) { g_override = device; }
