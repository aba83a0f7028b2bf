// Win32 serial back end: the serial-port object on the Windows communications API.
//
// `SerialPort` keeps the shape the protocol's port has always had: one object with a table of
// fourteen overridable operations (its virtual functions, in slot order), an overlapped device
// handle, and a communication-event thread that announces arriving characters. The protocol
// reaches it through platform::SerialDevice (Open by port number, Write, Read, Close).
//
// A USB serial device that is pulled out makes every call on its handle fail with one of a few
// errors (see IsRemovalError). The first such failure marks the line gone: the event thread
// announces it once and ends, reads and writes return 0 without touching the handle, and the
// next open starts afresh.
#include "platform/serial.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

namespace platform {
namespace {

constexpr size_t kNameSize = 16;
constexpr DWORD kQueueSize = 4096;        // receive and transmit buffers asked of the driver
constexpr DWORD kWriteTimeoutMs = 4000;   // total bound of one write, and of draining at close
constexpr DWORD kEventMask = EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_ERR;  // 0x139
constexpr DWORD kWaitRetryMs = 10;        // pause after a failed event wait before the next
constexpr DWORD kStopWaitMs = 2000;       // how long a cancelled event wait may take to finish

// Flow-control flags.
constexpr uint8_t kFlowDsrDtr = 0x01;
constexpr uint8_t kFlowCtsRts = 0x02;
constexpr uint8_t kFlowXonXoff = 0x04;

using DataReceivedNotify = void (*)(uint32_t);

// Errors that a call on the handle of a removed (or otherwise vanished) device ends with. An
// aborted operation is not among them: a mask change or cancel ends waits with it too, and some
// emulated ports end waits with it for no reason; it counts only when a check of the line
// (ClearCommError) then fails with one of these.
bool IsRemovalError(DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_DEVICE_REMOVED:
    case ERROR_GEN_FAILURE:
    case ERROR_INVALID_HANDLE:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_NOT_READY:  // a terminal hung up, as the emulation layer reports it
      return true;
    default:
      return false;
  }
}

// One communication-event wait: the record and the mask the system writes when the wait ends.
// It lives on the heap, not the thread's stack: a wait that has not finished when the thread
// must go is left its record, so that the late write lands in memory nobody else uses.
struct EventWait {
  OVERLAPPED overlapped{};
  DWORD mask = 0;
};

class SerialPort {
 public:
  SerialPort() {
    std::strcpy(port_name_, "COM2");
    line_.DCBlength = sizeof(DCB);
  }
  virtual ~SerialPort() { SerialPort::Close(); }
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // Slot 0: takes the name when it fits (shorter than 16 characters), then opens the device.
  virtual int OpenByName(const char* name) {
    if (name && std::strlen(name) < kNameSize) std::strcpy(port_name_, name);
    return OpenDevice();
  }

  // Slot 1: opens and configures the device and starts the event thread; non-zero on success.
  virtual int OpenDevice() {
    device_ = ::CreateFileA(name_ref_, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (device_ == INVALID_HANDLE_VALUE) {
      // A COM port another program has open is refused with access denied (no sharing).
      const DWORD error = ::GetLastError();
      in_use_ = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
      // Right after a plug-in the port's name may not lead to the device yet.
      not_ready_ = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
      open_error_ = error;
      return 0;
    }
    in_use_ = not_ready_ = false;
    open_error_ = 0;
    line_gone_ = false;

    ::SetCommMask(device_, EV_RXCHAR);
    ::SetupComm(device_, kQueueSize, kQueueSize);
    // Stale input goes; output is left alone: what the last user of the line wrote may not
    // have left the driver yet, and purging it here would lose that user's last request.
    ::PurgeComm(device_, PURGE_RXABORT | PURGE_RXCLEAR);

    timeouts_.ReadIntervalTimeout = MAXDWORD;  // a read returns at once with what is buffered
    timeouts_.ReadTotalTimeoutMultiplier = 0;
    timeouts_.ReadTotalTimeoutConstant = 0;
    timeouts_.WriteTotalTimeoutMultiplier = 0;
    timeouts_.WriteTotalTimeoutConstant = kWriteTimeoutMs;
    ::SetCommTimeouts(device_, &timeouts_);  // a port that refuses keeps its own; not fatal

    line_.BaudRate = CBR_115200;
    line_.ByteSize = 8;
    line_.Parity = NOPARITY;
    line_.StopBits = ONESTOPBIT;
    const BOOL applied = ApplyLineSettings(line_);
    if (!applied) {
      running_ = 0;
      CloseDevice();
      return 0;
    }

    stop_ = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    running_ = 1;
    DWORD id = 0;
    event_thread_ = stop_ ? ::CreateThread(nullptr, 0, &SerialPort::ThreadMain, this, 0, &id) : nullptr;
    if (!event_thread_) {
      running_ = 0;
      CloseDevice();
      return 0;
    }
    event_thread_id_ = id;
    return applied;
  }

  // Slot 2.
  virtual uint32_t IsRunning() const { return running_; }

  // Slot 3: stops the event thread, lets pending output go out, discards pending input and
  // closes the device. Safe after a failed open and when called twice.
  virtual void Close() {
    running_ = 0;
    if (device_ != INVALID_HANDLE_VALUE) ::SetCommMask(device_, 0);  // ends a pending event wait
    if (event_thread_) {
      ::SetEvent(stop_);
      ::WaitForSingleObject(event_thread_, INFINITE);
      ::CloseHandle(event_thread_);
      event_thread_ = nullptr;
    }
    event_thread_id_ = 0;
    if (device_ != INVALID_HANDLE_VALUE && !line_gone_) {
      // Never purge the transmit side here: it would throw away the last request sent.
      DrainOutput();
      ::PurgeComm(device_, PURGE_RXABORT | PURGE_RXCLEAR);
    }
    CloseDevice();
  }

  // Slot 4: programs baud rate, byte size, parity, stop bits and the flow-control flags;
  // every other field keeps what the driver reports. Returns the result of SetCommState.
  virtual BOOL ApplyLineSettings(DCB settings) {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (!::GetCommState(device_, &dcb)) return FALSE;
    dcb.BaudRate = line_.BaudRate = settings.BaudRate;
    dcb.ByteSize = line_.ByteSize = settings.ByteSize;
    dcb.Parity = line_.Parity = settings.Parity;
    dcb.StopBits = line_.StopBits = settings.StopBits;

    dcb.fOutxDsrFlow = (flow_control_ & kFlowDsrDtr) ? TRUE : FALSE;
    dcb.fDtrControl = (flow_control_ & kFlowDsrDtr) ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_ENABLE;
    dcb.fOutxCtsFlow = (flow_control_ & kFlowCtsRts) ? TRUE : FALSE;
    dcb.fRtsControl = (flow_control_ & kFlowCtsRts) ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fOutX = dcb.fInX = (flow_control_ & kFlowXonXoff) ? TRUE : FALSE;
    dcb.fBinary = TRUE;
    dcb.fParity = TRUE;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.XonLim = 100;
    dcb.XoffLim = 100;
    return ::SetCommState(device_, &dcb);
  }

  // Slot 5.
  virtual void GetDefaultSettings(DCB* settings) {
    if (settings) std::memset(settings, 0, sizeof *settings);
  }

  // Slot 6.
  virtual uint8_t GetStatus() const { return status_; }

  // Slot 7: modem-status hook.
  virtual void OnModemStatus(uint32_t /*status*/) {}

  // Slot 8: notification hook.
  virtual int OnNotify(uint32_t /*value*/) { return 0; }

  // Slot 9.
  virtual void SetRts(uint8_t on) { ::EscapeCommFunction(device_, on ? SETRTS : CLRRTS); }

  // Slot 10: never blocks. Reads only what the driver reports queued: a read of more would
  // stay pending until further characters came.
  virtual size_t Read(uint8_t* buffer, size_t max) {
    if (device_ == INVALID_HANDLE_VALUE || line_gone_ || !buffer || max == 0) return 0;
    COMSTAT stat{};
    DWORD errors = 0;
    if (!::ClearCommError(device_, &errors, &stat)) {
      OnFailure(::GetLastError());
      return 0;
    }
    Note(errors);
    const DWORD count = static_cast<DWORD>(std::min<size_t>(max, stat.cbInQue));
    if (count == 0) return 0;

    OVERLAPPED ov{};
    ov.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!ov.hEvent) return 0;
    DWORD got = 0;
    if (::ReadFile(device_, buffer, count, &got, &ov)) {
      ::GetOverlappedResult(device_, &ov, &got, FALSE);
    } else if (::GetLastError() == ERROR_IO_PENDING) {
      while (!::GetOverlappedResult(device_, &ov, &got, TRUE)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_IO_INCOMPLETE) continue;
        OnFailure(error);
        Note(error);
        break;  // got holds what the wait reported
      }
    } else {
      OnFailure(::GetLastError());
      got = 0;
    }
    ::CloseHandle(ov.hEvent);
    return got;
  }

  // Slot 11: blocks until the driver has taken every byte (bounded by the write timeout).
  // Returns 1 when all went, 0 otherwise.
  virtual int Write(const uint8_t* data, size_t count) {
    if (device_ == INVALID_HANDLE_VALUE || line_gone_ || (!data && count > 0)) return 0;
    if (count == 0) return 1;
    OVERLAPPED ov{};
    ov.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!ov.hEvent) return 0;
    const DWORD n = static_cast<DWORD>(std::min<size_t>(count, MAXDWORD));
    DWORD done = 0;
    BOOL ok = ::WriteFile(device_, data, n, &done, &ov);
    DWORD error = ok ? ERROR_SUCCESS : ::GetLastError();
    if (ok || error == ERROR_IO_PENDING) {
      ok = ::GetOverlappedResult(device_, &ov, &done, TRUE);
      error = ok ? ERROR_SUCCESS : ::GetLastError();
    }
    ::CloseHandle(ov.hEvent);
    if (ok && done == count) return 1;
    OnFailure(error);  // a write that timed out succeeded in part: only the line check can tell
    return 0;
  }

  // Slot 12: the body of the communication-event thread. Returns 1, or 0 when the event
  // mask cannot be set.
  virtual int EventThread() {
    int result = 0;
    if (::SetCommMask(device_, kEventMask)) {
      result = 1;
      DWORD modem = 0;
      if (::GetCommModemStatus(device_, &modem)) OnModemStatus(modem);
      WaitForEvents();
    } else {
      OnFailure(::GetLastError());
    }
    // Announced here, on the port's own thread, once per open; not to an owner that is closing.
    if (line_gone_ && running_ && data_received_) data_received_(SERIAL_LINE_GONE);
    event_thread_id_ = 0;
    return result;
  }

  // Slot 13: tick hook.
  virtual void OnTick() {}

  // Not in the table: back to 115200 baud 8N1 without flow control, applied to an open device.
  void ResetLineSettings() {
    line_.BaudRate = CBR_115200;
    line_.ByteSize = 8;
    line_.Parity = NOPARITY;
    flow_control_ = 0;
    if (device_ != INVALID_HANDLE_VALUE) ApplyLineSettings(line_);
  }

  void SetDataReceived(DataReceivedNotify notify) { data_received_ = notify; }
  bool LineGone() const { return line_gone_; }
  bool InUse() const { return in_use_; }  // the last open was refused: another program has the port
  bool NotReady() const { return not_ready_; }  // the last open found no device behind the name (yet)
  DWORD OpenError() const { return open_error_; }  // the system's error of the last open, 0 when none

 private:
  static DWORD WINAPI ThreadMain(void* self) { return static_cast<DWORD>(static_cast<SerialPort*>(self)->EventThread()); }

  // Waits for communication events until told to stop or the line is gone. The wait is
  // overlapped, as the device handle is: a wait without an overlapped record on such a handle
  // is not reliable.
  void WaitForEvents() {
    auto* wait = new EventWait;
    wait->overlapped.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!wait->overlapped.hEvent) {
      delete wait;
      return;
    }
    HANDLE waits[2] = {wait->overlapped.hEvent, stop_};
    bool pending = false;  // a wait the system may still complete
    while (running_ && !line_gone_) {
      ::ResetEvent(wait->overlapped.hEvent);
      wait->mask = 0;
      BOOL ok = ::WaitCommEvent(device_, &wait->mask, &wait->overlapped);
      DWORD error = ok ? ERROR_SUCCESS : ::GetLastError();
      if (!ok && error == ERROR_IO_PENDING) {
        if (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
          pending = !EndWait(wait);  // told to stop, or the line went while reading or writing
          break;
        }
        DWORD unused = 0;
        ok = ::GetOverlappedResult(device_, &wait->overlapped, &unused, FALSE);
        error = ok ? ERROR_SUCCESS : ::GetLastError();
      }
      if (!ok) {
        // Shutdown, a mask change, a line error or a removed device.
        if (!running_) break;
        OnFailure(error);
        if (line_gone_) break;
        ::WaitForSingleObject(stop_, kWaitRetryMs);
        continue;
      }
      if ((wait->mask & EV_RXCHAR) && data_received_) data_received_(SERIAL_DATA);
    }
    if (pending) return;  // the record and its event stay with the unfinished wait
    ::CloseHandle(wait->overlapped.hEvent);
    delete wait;
  }

  // Ends a pending wait and waits for the system to finish it; true once it has. A cancel alone
  // does not end it under every emulation of the port; a changed event mask does.
  bool EndWait(EventWait* wait) {
    ::SetCommMask(device_, 0);
    ::CancelIo(device_);
    return ::WaitForSingleObject(wait->overlapped.hEvent, kStopWaitMs) == WAIT_OBJECT_0;
  }

  // A call on the handle failed with error: a removal error marks the line gone; anything else
  // (a line error, an aborted operation) is cleared, and the check of the line that clears it
  // tells whether the device is still there.
  void OnFailure(DWORD error) {
    if (IsRemovalError(error))
      MarkGone();
    else
      ClearLineErrors();
  }

  // Any thread: from now on nothing touches the handle but Close. The event thread, woken
  // through its stop event, announces it and ends.
  void MarkGone() {
    if (line_gone_.exchange(true)) return;
    if (running_ && stop_) ::SetEvent(stop_);
  }

  // Waits (at most the write timeout) until the driver's transmit queue is empty, then flushes.
 public:
  // Not in the table: waits until the driver's transmit queue is empty (bounded by the write
  // timeout). 1 when it emptied, or when the line went before it could be looked at; 0 when
  // the line went or the time ran out while bytes were seen waiting.
  int DrainQueue() {
    if (device_ == INVALID_HANDLE_VALUE) return 0;
    const ULONGLONG deadline = ::GetTickCount64() + kWriteTimeoutMs;
    bool waiting = false;
    for (;;) {
      if (line_gone_) return waiting ? 0 : 1;
      COMSTAT stat{};
      DWORD errors = 0;
      if (!::ClearCommError(device_, &errors, &stat)) {
        OnFailure(::GetLastError());
        return waiting ? 0 : 1;
      }
      if (stat.cbOutQue == 0) return 1;
      waiting = true;
      if (::GetTickCount64() >= deadline) return 0;
      ::Sleep(1);
    }
  }

 private:
  void DrainOutput() {
    const ULONGLONG deadline = ::GetTickCount64() + kWriteTimeoutMs;
    for (;;) {
      COMSTAT stat{};
      DWORD errors = 0;
      if (!::ClearCommError(device_, &errors, &stat)) return;
      if (stat.cbOutQue == 0) break;
      if (::GetTickCount64() >= deadline) return;  // the line is stuck: do not hang in the flush
      ::Sleep(1);
    }
    ::FlushFileBuffers(device_);
  }

  void ClearLineErrors() {
    DWORD errors = 0;
    if (device_ == INVALID_HANDLE_VALUE || line_gone_) return;
    if (::ClearCommError(device_, &errors, nullptr))
      Note(errors);
    else if (IsRemovalError(::GetLastError()))
      MarkGone();
  }

  // With the error-report switch on, a line error mask or error code becomes a short note.
  void Note(DWORD code) {
    if (error_report_ && code) std::snprintf(note_, sizeof note_, "<CE-%lu>", static_cast<unsigned long>(code));
  }

  void CloseDevice() {
    if (device_ != INVALID_HANDLE_VALUE) ::CloseHandle(device_);
    device_ = INVALID_HANDLE_VALUE;
    if (stop_) ::CloseHandle(stop_);
    stop_ = nullptr;
  }

  char port_name_[kNameSize] = {};           // device name; replaced on open
  char* name_ref_ = port_name_;              // the name the device open uses
  HANDLE device_ = INVALID_HANDLE_VALUE;
  HANDLE event_thread_ = nullptr;
  DCB line_{};                               // baud rate, byte size, parity, stop bits in use
  COMMTIMEOUTS timeouts_{};
  std::atomic<DWORD> event_thread_id_{0};    // cleared by the event thread as it ends
  DWORD error_report_ = 0;                   // nothing switches it on
  std::atomic<DWORD> running_{0};            // 1 while the event thread is to run
  uint8_t flow_control_ = 0;                 // kFlow* bits; none by default
  uint8_t status_ = 0;
  DataReceivedNotify data_received_ = nullptr;

  HANDLE stop_ = nullptr;                    // tells the event thread to end its wait
  std::atomic<bool> line_gone_{false};       // the device has gone away; cleared by an open
  char note_[24] = {};
  bool in_use_ = false;
  bool not_ready_ = false;
  DWORD open_error_ = 0;
};

// The protocol's view of the port: COM<n> opened by its device path.
class Win32SerialDevice final : public SerialDevice {
 public:
  int Open(uint8_t port, DataReceivedFn on_data) override {
    port_.Close();
    port_.ResetLineSettings();
    port_.SetDataReceived(on_data);
    const std::string name = DeviceName(port);
    return port_.OpenByName(name.c_str()) ? 0 : -1;
  }
  int Write(const uint8_t* data, size_t count) override { return port_.Write(data, count); }
  int Drain() override { return port_.DrainQueue(); }
  size_t Read(uint8_t* buffer, size_t max) override { return port_.Read(buffer, max); }
  void Close() override { port_.Close(); }
  bool LineGone() const override { return port_.LineGone(); }
  bool OpenFailedInUse() const override { return port_.InUse(); }
  bool OpenFailedNotReady() const override { return port_.NotReady(); }
  bool OpenFailedMissing() const override { return port_.NotReady(); }  // no device behind the name
  std::string OpenFailureText() const override {
    const DWORD error = port_.OpenError();
    if (error == 0) return {};
    char text[256] = {};
    const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                     text, sizeof text, nullptr);
    std::string message(text, n);
    while (!message.empty() && (message.back() == '\r' || message.back() == '\n' || message.back() == '.'))
      message.pop_back();
    return message.empty() ? "error " + std::to_string(error) : message;
  }
  std::string DeviceName(uint8_t port) const override {
    char name[kNameSize];
    std::snprintf(name, sizeof name, "\\\\.\\COM%d", static_cast<int>(port));
    return name;
  }

 private:
  SerialPort port_;
};

}  // namespace

std::unique_ptr<SerialDevice> CreateSerialDevice() { return std::make_unique<Win32SerialDevice>(); }

}  // namespace platform
