// The simulated RX5120: the target side of the CMBS link on a pseudo-terminal.
//
// It answers the hello and every request the tool sends with the matching
// response event and IE_RESPONSE, keeps the state a real target would keep
// (parameter area, collected firmware and PILL images, log level, logger
// configuration), records every frame it received, and can push log lines and
// trace indications on its own. Faults can be injected per request event.
//
// Threads: one serving thread reads the line and answers; every public member
// may be called from any other thread (an internal mutex guards the state).
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// One frame as the simulated target received it.
struct Frame {
  uint16_t event_id = 0;
  std::vector<uint8_t> params;  // parameter block (length - 8 bytes)
  std::vector<uint8_t> wire;    // the whole frame as it came off the line, sync word included
  std::chrono::steady_clock::time_point received_at{};  // when the target took the frame in (after pacing)
};

// How the target treats one request event (keyed by the request's event id).
struct Fault {
  uint8_t result = 0;              // IE_RESPONSE value; 0 = accepted
  bool no_answer = false;          // swallow the request, answer nothing
  int delay_ms = 0;                // wait this long before answering
  std::vector<uint8_t> noise;      // bytes written in front of the answer frame
  bool split = false;              // write the answer frame in single-byte writes
  bool hang_up = false;            // close the line instead of answering
  // Take no more bytes from this request on, answer it, and close the line this long after: the
  // line's input is full, so every later write of the tool waits and then fails (a repeater
  // that stops reading and goes away).
  int stall_ms = 0;
  int after = 0;                   // apply only from the (after+1)-th occurrence of the request on
  int times = 0;                   // apply to this many occurrences from there on (0: to all)
  // Parameter-area reads only: the answer's area element names this address and holds this many
  // bytes (taken from the area at that address) instead of those asked for. With a result, the
  // refusal carries such an element, without data, in front of its response.
  std::optional<uint16_t> area_address;
  std::optional<uint16_t> area_count;
};

struct Config {
  uint16_t product_version = 0x0102;
  uint16_t build = 0x0345;
  uint16_t hello_word0 = 0;
  uint16_t hello_word3 = 0;
  // When set, the hello reply carries exactly these bytes instead of the 29-byte identification.
  std::optional<std::vector<uint8_t>> hello_block;
  bool answer_hello = true;         // false: a silent target (never answers the hello)
  bool paced = false;               // write at the real line rate of 115200 baud (about 87 us a byte)
  // With paced: the host's bytes count at the line rate too (a frame is taken in only when its
  // last byte would have crossed the line), and answer bytes are handed to the line only when
  // they would have arrived. Timings then match a real 115200-baud cable in both directions.
  bool pace_host_bytes = false;
  size_t param_area_size = 65536;   // bytes of the in-memory parameter area
  // USB serial number the laid-out tree shows; empty: "SIM5120" and the port in four hex digits.
  std::string usb_serial;
  // Set: an accepted restart request (CMBS_EV_DSR_SYS_RESET) makes the repeater go away as a real
  // one does (line hung up, tty node and tree entries removed) and come back this long after, on
  // the same port with the same serial number and a new pseudo-terminal. Not set: it stays.
  std::optional<int> restart_ms;
  // The version and build the hello reports after a restart that follows an accepted update.
  std::optional<uint16_t> version_after;
  std::optional<uint16_t> build_after;
  // Traffic of its own once the tool switches logging on: log lines at the level asked
  // (log_traffic) and DECT trace indications of calls being set up and released as the
  // logger's mask selects them (trace_traffic), each at traffic_rate a second. It starts an
  // interval (200 ms at least) after logging is switched on and stops when it is switched off,
  // when a new session begins with a hello, or when nobody takes the line's bytes.
  bool log_traffic = false;
  bool trace_traffic = false;
  int traffic_rate = 4;
};

class Target {
 public:
  explicit Target(Config config = {});
  ~Target();  // stops the serving thread, closes the line, removes a laid-out tree
  Target(const Target&) = delete;
  Target& operator=(const Target&) = delete;

  // Creates the pseudo-terminal and starts serving. False (and errno-style text in
  // LastError) when the pseudo-terminal cannot be created.
  bool Start();
  // Path of the pseudo-terminal's device node the tool opens (/dev/pts/N).
  std::string DevicePath() const;
  std::string LastError() const;

  // Lays out the fake sysfs and dev tree under dir so that the tool finds this target
  // as COM port `port` (ttyACM<port-1>) with the repeater's USB ids:
  //   dir/sys/class/tty/ttyACM<n>/device -> ../../../devices/usb1/1-1/1-1:1.0
  //   dir/sys/devices/usb1/1-1/{idVendor,idProduct,serial,product}
  //   dir/dev/ttyACM<n> -> DevicePath()
  // Returns false on a file-system error. SysfsRoot()/DevRoot() give the two roots.
  // Several targets may share one dir, each on its own port; the one laid out last should go
  // first, so that the directories they share are removed by the target that made them.
  bool LayOutTree(const std::string& dir, uint8_t port = 1, uint16_t vid = 0x3F7A, uint16_t pid = 0x5120);
  std::string SysfsRoot() const;
  std::string DevRoot() const;

  // Fault injection for answers to one request event id (e.g. 0x000E for the firmware start).
  void SetFault(uint16_t request_event, const Fault& fault);
  void ClearFaults();

  // What the target has received.
  std::vector<Frame> Received() const;          // every frame, in order
  std::vector<uint8_t> ReceivedBytes() const;   // every byte, noise included
  // Blocks until at least n frames have been received or the timeout passed; true when reached.
  bool WaitForFrames(size_t n, std::chrono::milliseconds timeout) const;
  // Blocks until a frame with this event id has been received; true when seen.
  bool WaitForEvent(uint16_t event_id, std::chrono::milliseconds timeout) const;

  // Target state.
  std::vector<uint8_t> FirmwareImage() const;   // chunks collected since the last FW start
  bool FirmwareEnded() const;                   // an FW end request was accepted
  std::vector<uint8_t> PillImage() const;       // PILL bytes collected since the last PILL start
  uint32_t PillLanguage() const;
  uint32_t PillSize() const;
  bool PillEnded() const;
  int ResetCount() const;                       // CMBS_EV_DSR_SYS_RESET requests seen
  int RestartCount() const;                     // times it came back after going away
  bool Present() const;                         // plugged in: line up and tree entries in place
  // Blocks until Present() is the value given or the timeout passed; true when reached.
  bool WaitForPresent(bool present, std::chrono::milliseconds timeout) const;
  int PowerOffCount() const;
  int FactoryResetCount() const;
  int LogLevel() const;                         // -1 until the tool sets one
  std::vector<uint8_t> ParamArea(size_t offset, size_t count) const;
  void SetParamArea(size_t offset, const std::vector<uint8_t>& bytes);
  void SetSysOverview(const uint32_t counters[8]);
  uint8_t LoggerSwitch() const;
  uint16_t LoggerMask() const;
  std::vector<uint8_t> LoggerList() const;

  // Pushes, sent at once (from the calling thread, under the line's write lock).
  void PushLogLine(uint8_t level, const std::string& text);
  void PushTraceIndication(const std::vector<uint8_t>& params);  // CMXX_EV_LOGGER_TRACE_IND
  void PushFrame(uint16_t event_id, const std::vector<uint8_t>& params);
  void PushBytes(const std::vector<uint8_t>& bytes);  // anything, noise included
  void HangUp();                                      // close the line now
  // Unplugging: the line is hung up and the port's tree entries are removed (the port stays
  // this target's). Plugging in again: a new pseudo-terminal, the entries laid out anew. Plug
  // is false when the target was never laid out or the pseudo-terminal cannot be made.
  void Unplug();
  bool Plug();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace sim
