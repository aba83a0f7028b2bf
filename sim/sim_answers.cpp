// How the simulated target answers each request, and the state it keeps doing so.
//
// Everything here runs under mutex. A non-zero result (a refusal injected as a fault)
// refuses the request: nothing is stored or counted and the answer carries the result.
// A malformed request is refused even without one.
#include <algorithm>

#include "sim/sim_impl.h"

namespace sim {

using namespace wire;

namespace {

constexpr uint8_t kFactoryResetParam = 12;
constexpr size_t kHelloSize = 29;
constexpr int kLogInfo = 2;  // levels 0 error, 1 warn, 2 info; 3 is off

}  // namespace

struct Target::Impl::Request {
  uint16_t event = 0;
  const Bytes& params;
  std::vector<Ie> ies;
  uint8_t result = 0;

  // The response event (the request's id plus one) with IE_RESPONSE.
  Answer Respond(uint8_t r) const { return Answer{static_cast<uint16_t>(event + 1), ResponseIe(r)}; }
  Answer Refuse() const { return Respond(result ? result : 1); }
};

// Updates the state for one request and returns the answer, if the request has one.
std::optional<Target::Impl::Answer> Target::Impl::Apply(uint16_t event, const Bytes& params, uint8_t result) {
  const Request r{event, params, WalkIes(params), result};
  switch (event) {
    case kEvHello:
      // A new session: the traffic of the last one's logging ends.
      SwitchLogTraffic(false);
      SwitchTraceTraffic(false);
      return AnswerHello();
    case kEvParamSet:
      return SetParam(r);
    case kEvFwStart:
    case kEvFwNext:
    case kEvFwEnd:
      return TakeFirmware(r);
    case kEvSysReset:
      if (result == 0) {
        ++resets;
        restart_due = config.restart_ms.has_value();
      }
      return std::nullopt;
    case kEvPowerOff:
      if (result == 0) ++power_offs;
      return std::nullopt;
    case kEvAreaGet:
      return ReadArea(r);
    case kEvAreaSet:
      return WriteArea(r);
    case kEvOverviewGet:
      return Overview(r);
    case kEvLogMsg:
      // Setting the level has no answer; the host does not wait for one.
      SetLogLevel(r);
      return std::nullopt;
    case kEvPillStart:
      return StartPill(r);
    case kEvPillNext:
    case kEvPillEnd:
      return TakePill(r);
    case kEvLoggerConfigSet:
      // No answer: the host counts the configuration as applied once it is sent.
      ConfigureLogger(r);
      return std::nullopt;
    case kEvLoggerStatusGet:
      return LoggerStatus(r);
    default:
      // Link control (reset communication, state on/off) and unknown events: no answer.
      return std::nullopt;
  }
}

std::optional<Target::Impl::Answer> Target::Impl::AnswerHello() const {
  if (!config.answer_hello) return std::nullopt;
  return Answer{kEvHelloRes, HelloBlock()};
}

// The identification: word 0, build, product version, word 3, then zeros.
Target::Impl::Bytes Target::Impl::HelloBlock() const {
  if (config.hello_block) return *config.hello_block;
  Bytes b;
  PutU16(b, config.hello_word0);
  PutU16(b, build);
  PutU16(b, product_version);
  PutU16(b, config.hello_word3);
  b.resize(kHelloSize, 0);
  return b;
}

// A parameter set; parameter 12 set to 0 is the factory reset.
Target::Impl::Answer Target::Impl::SetParam(const Request& r) {
  auto ie = FindIe(r.ies, kIeParam);
  if (!ie || ie->length < 5) return r.Refuse();
  if (r.result == 0 && ie->value[0] == kFactoryResetParam && GetU16(ie->value + 3) == 0) ++factory_resets;
  return r.Respond(r.result);
}

// The firmware image: the start request carries its first bytes, each next request more.
Target::Impl::Answer Target::Impl::TakeFirmware(const Request& r) {
  if (r.result != 0) return r.Respond(r.result);
  if (r.event == kEvFwStart) {
    firmware = r.params;
    firmware_ended = false;
  } else if (r.event == kEvFwNext) {
    firmware.insert(firmware.end(), r.params.begin(), r.params.end());
  } else {
    firmware_ended = true;
    update_done = true;
  }
  return r.Respond(0);
}

// The PILL start names the language and the size in two integer elements.
Target::Impl::Answer Target::Impl::StartPill(const Request& r) {
  std::vector<uint32_t> values;
  for (const Ie& ie : r.ies) {
    if (ie.id == kIeInteger && ie.length == 4) values.push_back(GetU32(ie.value));
  }
  if (values.size() < 2) return r.Refuse();
  if (r.result == 0) {
    pill_language = values[0];
    pill_size = values[1];
    pill.clear();
    pill_ended = false;
  }
  return r.Respond(r.result);
}

Target::Impl::Answer Target::Impl::TakePill(const Request& r) {
  if (r.result != 0) return r.Respond(r.result);
  if (r.event == kEvPillNext) {
    pill.insert(pill.end(), r.params.begin(), r.params.end());
  } else {
    pill_ended = true;
  }
  return r.Respond(0);
}

Target::Impl::Answer Target::Impl::ReadArea(const Request& r) const {
  auto area = DecodeArea(r.ies);
  // The answer holds the area element and the response: both must fit in one frame.
  const size_t max_count = kMaxParams - 3 - 5 - 3;
  if (!area || area->count > max_count || size_t{area->address} + area->count > param_area.size()) {
    return r.Refuse();
  }
  if (r.result != 0) return r.Respond(r.result);
  return Answer{static_cast<uint16_t>(r.event + 1), AreaReply(area->type, area->address, area->count, 0)};
}

// The area element with count bytes of the area from address (zeros past its end), then the
// response. The data comes first: the host copies area data that precedes the response.
Target::Impl::Bytes Target::Impl::AreaReply(uint8_t type, uint16_t address, uint16_t count, uint8_t result) const {
  Bytes b = {kIeParamArea};
  PutU16(b, static_cast<uint16_t>(5 + count));
  b.push_back(type);
  PutU16(b, address);
  PutU16(b, count);
  const size_t from = std::min<size_t>(address, param_area.size());
  const size_t to = std::min<size_t>(size_t{address} + count, param_area.size());
  b.insert(b.end(), param_area.begin() + static_cast<std::ptrdiff_t>(from),
           param_area.begin() + static_cast<std::ptrdiff_t>(to));
  b.resize(b.size() + (count - (to - from)), 0);
  const Bytes response = ResponseIe(result);
  b.insert(b.end(), response.begin(), response.end());
  return b;
}

Target::Impl::Answer Target::Impl::WriteArea(const Request& r) {
  auto area = DecodeArea(r.ies);
  if (!area || area->data_length < area->count || size_t{area->address} + area->count > param_area.size()) {
    return r.Refuse();
  }
  if (r.result == 0) std::copy(area->data, area->data + area->count, param_area.begin() + area->address);
  return r.Respond(r.result);
}

Target::Impl::Answer Target::Impl::Overview(const Request& r) const {
  if (r.result != 0) return r.Respond(r.result);
  Answer a{static_cast<uint16_t>(r.event + 1), {kIeSysOverview, 32}};
  for (uint32_t c : overview) PutU32(a.params, c);
  return a;
}

void Target::Impl::SetLogLevel(const Request& r) {
  auto ie = FindIe(r.ies, kIeLogMsg);
  if (!ie || ie->length < 1 || r.result != 0) return;
  log_level = ie->value[0];
  SwitchLogTraffic(log_level <= kLogInfo);
}

// The logger switch and mask, and the filter list when one comes along.
void Target::Impl::ConfigureLogger(const Request& r) {
  auto sw = FindIe(r.ies, kIeLoggerSwitch);
  auto mask = FindIe(r.ies, kIeLoggerMask);
  if (!sw || sw->length < 1 || !mask || mask->length < 2 || r.result != 0) return;
  logger_switch = sw->value[0];
  logger_mask = GetU16(mask->value);
  SwitchTraceTraffic(logger_switch != 0);
  auto data = FindIe(r.ies, kIeData);
  if (data && data->length >= 2) {
    size_t n = std::min<size_t>(GetU16(data->value), data->length - 2);
    logger_list.assign(data->value + 2, data->value + 2 + n);
  } else if (logger_switch != 0) {
    logger_list.clear();  // a new configuration without a filter list
  }
}

Target::Impl::Answer Target::Impl::LoggerStatus(const Request& r) const {
  if (r.result != 0) return r.Respond(r.result);
  Answer a{static_cast<uint16_t>(r.event + 1), {kIeLoggerMask, 2}};
  PutU16(a.params, logger_mask);
  if (!logger_list.empty()) {
    size_t n = std::min<size_t>(logger_list.size(), kMaxParams - 4 - 5);
    a.params.push_back(kIeData);
    PutU16(a.params, static_cast<uint16_t>(n + 2));
    PutU16(a.params, static_cast<uint16_t>(n));
    a.params.insert(a.params.end(), logger_list.begin(), logger_list.begin() + static_cast<std::ptrdiff_t>(n));
  }
  return a;
}

}  // namespace sim
