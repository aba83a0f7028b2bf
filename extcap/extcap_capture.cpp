#include "extcap/extcap_capture.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>

#include "cmbs/cmbs_api.h"
#include "cmbs/cmbs_dsr.h"
#include "cmbs/cmbs_event.h"
#include "platform/console_out.h"
#include "platform/fifo.h"
#include "platform/self.h"
#include "platform/std_streams.h"
#include "session/fwapp.h"
#include "session/product.h"
#include "tracer/main_tracer_event.h"
#include "tracer/main_tracer_user.h"
#include "tracer/tracer_pcap.h"

namespace {

constexpr int kIdleCheckMs = 200;  // how often a quiet capture looks whether its reader is gone

// What the receive thread hands to the writing thread. Never destroyed: an event handled
// while the program ends still finds it.
struct Capture {
  std::mutex mutex;
  std::condition_variable wake;
  platform::FifoWriter* fifo = nullptr;  // while packets may be written straight away
  std::string pending;                   // pcap records not written yet
  bool writing = false;                  // the writer holds records taken from pending
  bool stop = false;
  bool line_gone = false;
  // Held while an event is handled; once finishing is set, no trace event reaches the tracer,
  // which would report each as having no trace file to go to.
  std::mutex events;
  bool finishing = false;
};

Capture& State() {
  static Capture* const capture = new Capture;
  return *capture;
}

// Packets are stamped when they arrive and gathered until the receive thread has handed out
// all that one read brought; then they go straight into the pipe when nothing waits before them
// and the pipe has room. Whatever does not fit waits in the queue for the command thread, so
// that a slow reader never holds up the receive path.
void OnPacket(const uint8_t* packet, size_t length) {
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
  Capture& c = State();
  std::lock_guard lock(c.mutex);
  cmTracerPcapAppendPacket(c.pending, packet, length, static_cast<uint64_t>(us / 1000000),
                           static_cast<uint32_t>(us % 1000000));
}

void OnBurstEnd() {
  Capture& c = State();
  bool queued;
  {
    std::lock_guard lock(c.mutex);
    if (c.pending.empty()) return;
    if (c.fifo && !c.writing) c.pending.erase(0, c.fifo->TryWrite(c.pending.data(), c.pending.size()));
    queued = !c.pending.empty();
  }
  if (queued) c.wake.notify_one();
}

void OnEvent(PST_FWAPP_OBJ app, uint16_t event_id, void* param) {
  Capture& c = State();
  {
    std::lock_guard lock(c.events);
    if (!c.finishing || event_id != CMXX_EV_LOGGER_TRACE_IND) cmTracerCallBack(app, event_id, param);
  }
  if (event_id != CMBS_EV_INT_LINE_GONE) return;
  {
    std::lock_guard lock(c.mutex);
    c.line_gone = true;
  }
  c.wake.notify_one();
}

void OnStopRequest(platform::StopRequest) {
  Capture& c = State();
  {
    std::lock_guard lock(c.mutex);
    c.stop = true;
  }
  c.wake.notify_one();
}

bool Attached(uint8_t port) {
  for (const ST_REPEATER& r : cmComPortFindAll(g_products[0].usb_id))
    if (r.port == port) return true;
  return false;
}

// Writes packets as they come until the capture is to end.
void Pump(platform::FifoWriter& fifo) {
  Capture& c = State();
  std::string batch;
  for (bool last = false; !last;) {
    {
      std::unique_lock lock(c.mutex);
      c.wake.wait_for(lock, std::chrono::milliseconds(kIdleCheckMs),
                      [&] { return !c.pending.empty() || c.stop || c.line_gone; });
      batch.swap(c.pending);
      c.writing = !batch.empty();
      last = c.stop || c.line_gone;
    }
    if (batch.empty()) {
      if (fifo.ReaderGone()) return;  // a quiet spell: a viewer that left shows only this way
      continue;
    }
    const bool written = fifo.Write(batch.data(), batch.size());
    batch.clear();
    {
      std::lock_guard lock(c.mutex);
      c.writing = false;
    }
    if (!written) return;  // a viewer that left while packets flow
  }
}

// Ends the capture: no more packets, the rest written, the logger switched off when it was
// switched on. Packets that still arrive are dropped quietly.
void Finish(PST_FWAPP_OBJ app, platform::FifoWriter& fifo, bool logger_on) {
  Capture& c = State();
  {
    std::lock_guard lock(c.events);
    c.finishing = true;
  }
  cmTracerSetPacketSink(nullptr);
  cmbs_api_SetBurstEnd(nullptr);
  std::string rest;
  {
    std::lock_guard lock(c.mutex);
    rest.swap(c.pending);
    c.fifo = nullptr;
  }
  if (!rest.empty()) fifo.Write(rest.data(), rest.size());
  const bool had_file = cmTracerFileIsOpen();
  cmTracerFileClose();  // switches the logger off when a trace file was open
  if (logger_on && !had_file && !cmFwAppLineGone()) cmbs_dsr_logger_ConfigSet(nullptr, 0, LOGGER_MASK_OFF, nullptr, 0);
  cmFwAppClose(app);
  fifo.Close();
}

}  // namespace

int cmExtcapCapture(const ST_EXTCAP_OPTIONS& o) {
  // The viewer reads errors from standard error; whatever the session prints goes there too.
  platform::StdoutToStderr();
  const uint8_t port = cmExtcapInterfacePort(o.interface);
  if (port == 0) {
    platform::PrintText(stderr, "halvern-extcap: no such interface: %s\n", o.interface.c_str());
    return 1;
  }
  if (!Attached(port)) {
    std::fprintf(stderr, "[ERROR]No %s on COM%u\n", g_products[0].short_name, port);
    return 1;
  }
  platform::CatchStopRequests(OnStopRequest);  // before any other thread starts

  platform::FifoWriter fifo;
  std::string error;
  if (!fifo.Open(o.fifo, &error)) {
    platform::PrintText(stderr, "halvern-extcap: cannot open %s: %s\n", o.fifo.c_str(), error.c_str());
    return 1;
  }
  const std::string header = cmTracerPcapFileHeader();
  if (!fifo.Write(header.data(), header.size())) return 0;  // the reader is gone already

  PST_FWAPP_OBJ app = cmFwAppOpenQuiet(cmFwAppPortText(port).c_str());
  if (!app) {
    std::fprintf(stderr, "[ERROR] The %s on COM%u %s\n", g_products[0].short_name, port,
                 cmFwAppPortInUse() ? "is in use by another program" : "does not answer");
    return 1;
  }
  cmFwAppSetEventCallback(app, OnEvent);
  {
    Capture& c = State();
    std::lock_guard lock(c.mutex);
    c.fifo = &fifo;
  }
  // The sink and the trace file come first: no packet the newly configured logger sends can
  // be missed by either. A refused configuration is found before the file is created.
  cmTracerSetPacketSink(OnPacket);
  cmbs_api_SetBurstEnd(OnBurstEnd);
  ST_LOGGER_REQUEST request;
  if (!cmLoggerCheck(o.logger.c_str(), &request)) {  // the reason is printed
    Finish(app, fifo, false);
    return 1;
  }
  if (!o.trace_file.empty() && cmTracerFileOpenAt(o.trace_file.c_str()) != 0) {
    Finish(app, fifo, false);
    return 1;
  }
  cmLoggerSend(request);
  Pump(fifo);
  const bool line_gone = cmFwAppLineGone();
  Finish(app, fifo, true);
  // Records that did not reach the trace file (a full disk) fail the capture: the file has gaps.
  const bool lost = !o.trace_file.empty() && cmTracerFileLost();
  if (lost)
    platform::PrintText(stderr, "halvern-extcap: couldn't write the trace file %s: records were lost\n",
                        o.trace_file.c_str());
  return line_gone || lost ? 1 : 0;
}
