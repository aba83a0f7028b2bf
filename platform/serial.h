// The serial device under the CMBS link: what any back end must provide.
// One back end per OS (serial_posix.cpp, later serial_win32.cpp), chosen by the build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// Data-received notification, called on the port's own thread: with SERIAL_DATA whenever
// characters arrive, and once with SERIAL_LINE_GONE when the line has gone away (device unplugged,
// target reset, the other side of the line closed). After SERIAL_LINE_GONE the thread watches the
// line no more: whatever arrived before is still there to read, every later read returns 0 and
// every write fails without touching the device.
enum SerialNotice : uint32_t { SERIAL_DATA = 0, SERIAL_LINE_GONE = 1 };
using DataReceivedFn = void (*)(uint32_t);

class SerialDevice {
 public:
  virtual ~SerialDevice() = default;

  // Opens COM port `port` for exclusive read/write at 115200 baud, 8N1, no flow control,
  // DTR and RTS on, purges both directions and starts the notification thread, which calls
  // `on_data` (may be null) whenever characters arrive. Returns 0 on success, -1 on failure.
  virtual int Open(uint8_t port, DataReceivedFn on_data) = 0;
  // Hands all bytes to the driver, bounded by a total of 4000 ms. Returns 1 on success, 0 on failure.
  virtual int Write(const uint8_t* data, size_t count) = 0;
  // Waits until every byte written has left the PC, bounded by a total of 4000 ms. Returns 1
  // when the output queue emptied, 0 when the line went or the time ran out while bytes were
  // still seen in it, or the port is not open. A line that went before the queue could be looked
  // at counts as emptied: Write had handed the bytes over whole (a target that restarts on a
  // request may drop its line the moment it has taken it).
  virtual int Drain() = 0;
  // Never blocks: returns the bytes already received, at most `max`; 0 when nothing is there.
  virtual size_t Read(uint8_t* buffer, size_t max) = 0;
  // Stops the notification thread, lets pending output drain (bounded by 4000 ms), discards
  // pending input and releases the device. Safe after a failed open and when called twice.
  virtual void Close() = 0;
  // True once the line is known to be gone (see SERIAL_LINE_GONE); false again after the next Open.
  virtual bool LineGone() const = 0;
  // True when the last Open failed because another program holds the port (it has it open
  // exclusively, or locked), rather than because the port is missing or cannot be set up.
  virtual bool OpenFailedInUse() const { return false; }
  // True when the last Open failed because the device node is missing or may not be opened by
  // us (yet): right after a plug-in the node appears before its permissions are set up.
  virtual bool OpenFailedNotReady() const { return false; }
  // True when the last Open failed because nothing is behind the port's name: no device node.
  virtual bool OpenFailedMissing() const { return false; }
  // The system's words for why the last Open failed; empty after a successful one.
  virtual std::string OpenFailureText() const { return {}; }
  // Name of the device node that Open(port) opens, for diagnostics.
  virtual std::string DeviceName(uint8_t port) const = 0;
};

std::unique_ptr<SerialDevice> CreateSerialDevice();

}  // namespace platform
