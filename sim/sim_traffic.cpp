// Traffic of the target's own: while the tool has logging switched on, log lines at the level
// it asked for and DECT trace indications of handsets' calls being set up through the repeater
// and released again, at a steady rate. Both follow the same call cycle: a bearer and a link
// come up, the call is set up, alerts, connects, reports its link quality, is released and the
// link and bearer go down; then the next handset calls.
#include <algorithm>
#include <array>
#include <cstdio>

#include "sim/sim_impl.h"

namespace sim {

using namespace wire;

namespace {

using Clock = std::chrono::steady_clock;

// A line nobody reads (the tool has gone) stops the traffic instead of holding up the line.
constexpr auto kTrafficStallLimit = std::chrono::milliseconds(250);
constexpr auto kFirstDelay = std::chrono::milliseconds(1000);  // room for a slow start (sanitizers)

// Tasks of the target's DECT stack; the logger's layer mask has bit (task - 1) for each.
constexpr uint8_t kMac = 1, kDlc = 3, kNwk = 4, kIwu = 5;
constexpr uint16_t kAllTasks = 0x7FFF, kMessageFilter = 0x8000;

// One traced message of the call cycle. A network-layer message travels inside the link's
// data: its length byte at position 4, its bytes from 5 on, cut out as the second packet.
struct Traced {
  uint8_t src, dst, mid;
  uint8_t flags;     // 0: one packet; 0x02: second packet for dst; 0x07: for src
  uint8_t nwk_type;  // network-layer message type when flags has a second packet
};

constexpr uint8_t kSecond = 0x02, kSecondFromSrc = 0x07, kSecondOffsets = 0x45;

constexpr std::array<Traced, 13> kCallCycle = {{
    {kMac, kDlc, 27, 0, 0},                  // MID_TBC_BEARER_ESTABLISHED_IND
    {kMac, kDlc, 42, 0, 0},                  // MID_MAC_CON_IND
    {kDlc, kNwk, 50, 0, 0},                  // MID_DLC_ESTABLISH_IND
    {kNwk, kIwu, 83, kSecond, 0x05},         // MID_IWU_CC_SETUP
    {kIwu, kNwk, 89, kSecondFromSrc, 0x01},  // MID_IWU_CC_ALERT
    {kIwu, kNwk, 85, kSecondFromSrc, 0x07},  // MID_IWU_CC_CONNECT
    {kNwk, kIwu, 86, kSecond, 0x0F},         // MID_IWU_CC_CONNECT_ACK
    {kMac, kIwu, 99, 0, 0},                  // MID_LLME_QUALITY_IND
    {kNwk, kIwu, 87, kSecond, 0x4D},         // MID_IWU_CC_RELEASE
    {kIwu, kNwk, 88, kSecondFromSrc, 0x5A},  // MID_IWU_CC_RELEASE_COM
    {kDlc, kNwk, 53, 0, 0},                  // MID_DLC_RELEASE_IND
    {kMac, kDlc, 48, 0, 0},                  // MID_MAC_DIS_IND
    {kMac, kDlc, 26, 0, 0},                  // MID_TBC_BEARER_RELEASE_IND
}};

// The numbers of the n-th call: handsets 1 to 4 in turn, each on its own slot and carrier.
struct Call {
  unsigned number, handset, slot, carrier;
};
Call CallOf(unsigned cycle) { return {cycle + 1, cycle % 4 + 1, (cycle * 5 + 2) % 12, (cycle * 3 + 1) % 10}; }

// The traced bytes of a message of call c: link, handset, slot and carrier, then the
// network-layer message (call control, transaction, type and an element or two) when it has one.
Bytes TracedData(const Traced& t, const Call& c) {
  Bytes d = {uint8_t(c.number), uint8_t(c.handset), uint8_t(c.slot), uint8_t(c.carrier)};
  d.reserve(16);  // also keeps GCC 12 from a false out-of-bounds warning on the inserts below
  if (!t.flags) {
    if (t.mid == 99) d.insert(d.end(), {uint8_t(60 + c.handset * 7), uint8_t(c.number % 5), 0x00});  // RSSI, CRC errors
    return d;
  }
  Bytes nwk = {0x03, uint8_t(c.number % 8 << 4), t.nwk_type};
  if (t.nwk_type == 0x05) {  // setup: the portable identity and the number called
    nwk.insert(nwk.end(), {0x05, 0x07, 0x10, 0x00, 0x31, 0x52, uint8_t(c.handset), 0x00, 0x01});
    nwk.insert(nwk.end(), {0x2C, 0x04, '2', '0', '4', uint8_t('0' + c.number % 10)});
  } else if (t.nwk_type == 0x4D || t.nwk_type == 0x5A) {
    nwk.insert(nwk.end(), {0xE2, 0x00});  // release reason: normal
  }
  d.push_back(uint8_t(nwk.size()));
  d.insert(d.end(), nwk.begin(), nwk.end());
  return d;
}

// Whether the logger as configured passes a message.
bool Selected(const Traced& t, uint16_t mask, const Bytes& filter) {
  if (mask == kAllTasks) return true;
  if (mask == kMessageFilter) {
    for (size_t i = 0; i + 4 <= filter.size(); i += 4)
      if (GetU32(&filter[i]) == t.mid) return true;
    return false;
  }
  return (mask >> (t.src - 1) & 1) || (mask >> (t.dst - 1) & 1);
}

// The log lines of the call cycle with their levels (0 error, 1 warn, 2 info).
constexpr unsigned kLogCycle = 10;

std::pair<uint8_t, std::string> LogLine(unsigned step) {
  const Call c = CallOf(step / kLogCycle);
  char text[128];
  uint8_t level = 2;
  switch (step % kLogCycle) {
    case 0:
      std::snprintf(text, sizeof text, "INFO MAC: bearer up, handset %u on slot %u carrier %u\n", c.handset, c.slot,
                    c.carrier);
      break;
    case 1:
      std::snprintf(text, sizeof text, "INFO CC: call %u set up by handset %u to 204%u\n", c.number, c.handset,
                    c.number % 10);
      break;
    case 2:
      std::snprintf(text, sizeof text, "INFO CC: call %u alerting\n", c.number);
      break;
    case 3:
      std::snprintf(text, sizeof text, "INFO CC: call %u connected, relayed to the base\n", c.number);
      break;
    case 4:
      level = 1;
      std::snprintf(text, sizeof text, "WARN MAC: handset %u signal weak (-%u dBm), handover candidate\n", c.handset,
                    60 + c.handset * 7);
      break;
    case 5:
      std::snprintf(text, sizeof text, "INFO LLME: handset %u link quality: %u CRC errors in 1000 frames\n", c.handset,
                    c.number % 5);
      break;
    case 6:
      level = 0;
      std::snprintf(text, sizeof text, "ERROR DLC: call %u frame lost after 3 retransmissions\n", c.number);
      break;
    case 7:
      std::snprintf(text, sizeof text, "INFO CC: call %u released by handset %u\n", c.number, c.handset);
      break;
    case 8:
      std::snprintf(text, sizeof text, "INFO MAC: bearer down, slot %u\n", c.slot);
      break;
    default:
      level = 1;
      std::snprintf(text, sizeof text, "WARN REP: base sync drift %u us\n", 2 + c.number % 7);
      break;
  }
  return {level, text};
}

// The first message comes an interval after logging is switched on, and not sooner than the
// tool is ready for it: the tracer creates its trace file only after sending the configuration.
std::chrono::microseconds FirstDelay(int rate) {
  return std::max(std::chrono::microseconds(1000000 / rate), std::chrono::microseconds(kFirstDelay));
}

}  // namespace

void Target::Impl::SwitchLogTraffic(bool on) {
  if (!config.log_traffic || on == log_due.has_value()) return;
  if (on)
    log_due = Clock::now() + FirstDelay(config.traffic_rate);
  else
    log_due.reset();
  cv.notify_all();
}

void Target::Impl::SwitchTraceTraffic(bool on) {
  if (!config.trace_traffic || on == trace_due.has_value()) return;
  if (on)
    trace_due = Clock::now() + FirstDelay(config.traffic_rate);
  else
    trace_due.reset();
  cv.notify_all();
}

// The next line at or below the level asked for.
Target::Impl::Bytes Target::Impl::NextLogLine() {
  for (unsigned tries = 0; tries < kLogCycle; ++tries) {
    auto [level, text] = LogLine(log_step++);
    if (level <= log_level) return LogLineParams(level, text);
  }
  return {};
}

// The next message the logger's mask lets through.
Target::Impl::Bytes Target::Impl::NextTraceIndication() {
  for (unsigned tries = 0; tries < kCallCycle.size(); ++tries) {
    const unsigned step = trace_step++;
    const Traced& t = kCallCycle[step % kCallCycle.size()];
    if (!Selected(t, logger_mask, logger_list)) continue;
    const Bytes data = TracedData(t, CallOf(step / kCallCycle.size()));
    return TraceIndParams(t.dst, t.src, t.mid, t.flags, t.flags ? kSecondOffsets : 0, data);
  }
  return {};
}

// Sends whatever kind is due, one frame at a time, until the target stops.
void Target::Impl::TrafficLoop() {
  const auto period = std::chrono::microseconds(1000000 / config.traffic_rate);
  std::unique_lock<std::mutex> lock(mutex);
  while (!stop) {
    const auto now = Clock::now();
    Bytes frame;
    for (auto [due, trace] : {std::pair{&log_due, false}, std::pair{&trace_due, true}}) {
      if (!*due || **due > now || !frame.empty()) continue;
      // Steady: the next one period on, but no burst to catch up after a slow write.
      **due = std::max(**due + period, now);
      const Bytes params = trace ? NextTraceIndication() : NextLogLine();
      if (!params.empty()) frame = BuildFrame(trace ? kEvTraceInd : kEvLogMsg, params);
    }
    if (!frame.empty()) {
      lock.unlock();
      bool sent = false;
      {
        std::lock_guard<std::mutex> line(line_mutex);
        sent = !line_closed && WriteLocked(frame, false, kTrafficStallLimit);
      }
      lock.lock();
      if (!sent) {
        SwitchLogTraffic(false);
        SwitchTraceTraffic(false);
      }
      continue;
    }
    std::optional<Clock::time_point> next;
    for (const auto* due : {&log_due, &trace_due})
      if (*due && (!next || **due < *next)) next = **due;
    if (next)
      cv.wait_until(lock, *next);
    else
      cv.wait(lock);
  }
}

}  // namespace sim
