// The simulated target's inside, shared by the files of sim/ and by nothing else.
//
// Where each part lives (the public members of Target with the part they belong to):
//   sim_target.cpp   the object itself, its records and state; hands each received frame
//                    to the answers and the faults
//   sim_answers.cpp  how the target answers each request, and the state it keeps doing so
//   sim_faults.cpp   injected faults: which requests they hit and how the answer then goes out
//   sim_line.cpp     the pseudo-terminal, the serving thread, frame reassembly, writes, hang-ups
//   sim_pacing.cpp   the line rate of 115200 baud in both directions
//   sim_traffic.cpp  log lines and trace indications of its own while the tool has logging on
//   sim_tree.cpp     the fake sysfs and dev tree through which the tool finds the target
//   sim_wire.cpp     the frame and element format
//
// Two locks:
//   mutex       guards the target state, the records and the fault table;
//   line_mutex  guards the line (the descriptors) and keeps each written frame whole.
// line_mutex is never taken while mutex is held. Only the serving thread reads the
// master; the descriptors are closed by the serving thread while it runs, so a hang-up
// requested from another thread never pulls a descriptor from under a read.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/pty.h"
#include "sim/sim_pacing.h"
#include "sim/sim_target.h"
#include "sim/sim_wire.h"

namespace sim {

struct Target::Impl {
  using Bytes = wire::Bytes;

  // What the target sends back for one request.
  struct Answer {
    uint16_t event_id = 0;
    Bytes params;
  };
  struct Request;  // one request as the answers see it

  explicit Impl(Config c)
      : config(std::move(c)),
        pacing(config.paced, config.pace_host_bytes),
        product_version(config.product_version),
        build(config.build),
        param_area(config.param_area_size, 0) {}

  const Config config;
  LinePacing pacing;  // the line rate; its reading side belongs to the serving thread

  // The line. Descriptors change only under line_mutex.
  std::mutex line_mutex;
  std::mutex plug_mutex;  // one unplug, plug or stop at a time: they join the serving thread
  platform::PtyPair pty;
  std::atomic<bool> line_closed{false};
  std::atomic<bool> stop{false};
  std::atomic<bool> hangup_requested{false};
  std::atomic<bool> serving{false};
  std::thread thread;
  std::thread restarter;  // with config.restart_ms: takes the target away and back after a reset
  std::thread traffic;    // with log or trace traffic configured: sends it while logging is on

  // Target state and records, under mutex.
  mutable std::mutex mutex;
  mutable std::condition_variable cv;
  std::string last_error;
  std::string device_path;
  std::string sysfs_root, dev_root;
  std::vector<std::string> tree;   // paths laid out by LayOutTree, in creation order
  std::vector<std::string> ports;  // the tty directories of the ports laid out
  std::string root;                // where the last LayOutTree put the port, and how
  uint8_t port = 0;
  uint16_t vid = 0, pid = 0;
  bool present = false;            // line up and the port's entries in place
  uint16_t product_version, build; // what the hello reports now
  bool update_done = false;        // an update ended since the last restart
  bool restart_due = false;        // a restart request was accepted
  int restarts = 0;
  std::vector<Frame> received;
  Bytes received_bytes;
  std::map<uint16_t, Fault> faults;
  std::map<uint16_t, int> occurrences;  // per request event, since its fault was set
  Bytes firmware;
  bool firmware_ended = false;
  Bytes pill;
  uint32_t pill_language = 0;
  uint32_t pill_size = 0;
  bool pill_ended = false;
  int resets = 0;
  int power_offs = 0;
  int factory_resets = 0;
  int log_level = -1;
  Bytes param_area;
  uint32_t overview[8] = {};
  uint8_t logger_switch = 0;
  uint16_t logger_mask = 0;
  Bytes logger_list;
  // Traffic: when each kind sends next (unset: switched off) and how far it has come.
  std::optional<std::chrono::steady_clock::time_point> log_due, trace_due;
  unsigned log_step = 0, trace_step = 0;

  // sim_target.cpp
  void HandleFrame(Frame frame);
  bool Fail(const std::string& why);  // keeps why as the last error; false

  // sim_line.cpp
  void Stop();  // stops the serving thread and closes the line
  void Send(const Bytes& noise, const Bytes& frame, bool split);
  void CloseLine();
  void Serve();
  void ExtractFrames(Bytes& rx);
  // Gives up on a line nobody reads after stall_limit.
  bool WriteLocked(const Bytes& bytes, bool single_bytes,
                   std::chrono::milliseconds stall_limit = std::chrono::milliseconds(2000));

  // sim_traffic.cpp
  void TrafficLoop();
  void SwitchLogTraffic(bool on);    // under mutex
  void SwitchTraceTraffic(bool on);  // under mutex
  Bytes NextLogLine();               // under mutex; empty when no line is due
  Bytes NextTraceIndication();       // under mutex; empty when the mask selects none

  // sim_answers.cpp, all under mutex
  std::optional<Answer> Apply(uint16_t event, const Bytes& params, uint8_t result);
  std::optional<Answer> AnswerHello() const;
  Answer SetParam(const Request& r);
  Answer TakeFirmware(const Request& r);
  Answer StartPill(const Request& r);
  Answer TakePill(const Request& r);
  Answer ReadArea(const Request& r) const;
  Answer WriteArea(const Request& r);
  Answer Overview(const Request& r) const;
  void SetLogLevel(const Request& r);
  void ConfigureLogger(const Request& r);
  Answer LoggerStatus(const Request& r) const;
  Bytes AreaReply(uint8_t type, uint16_t address, uint16_t count, uint8_t result) const;
  Bytes HelloBlock() const;

  // sim_faults.cpp
  std::optional<Fault> FaultFor(uint16_t event);  // under mutex
  void ReshapeAreaAnswer(const Bytes& request, const Fault& fault, std::optional<Answer>* answer);  // under mutex
  void SendWithFault(const Fault& fault, const std::optional<Answer>& answer);
  void FillInput();
  void StallThenHangUp(int stall_ms);

  // sim_tree.cpp
  void RemoveTree();
  bool WritePort();        // lays the port's entries out again for the current line
  void RemovePortEntries();

  // sim_line.cpp: going away and coming back
  bool OpenLine();         // a new pseudo-terminal and its serving thread; the caller holds line_mutex
  void Unplug();
  bool Plug(bool after_restart = false);  // a restart is counted as the target is back
  void RestartLoop();
};

}  // namespace sim
