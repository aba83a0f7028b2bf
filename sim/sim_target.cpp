// The simulated RX5120 target.
//
// One serving thread reads the master side of a pseudo-terminal, reassembles
// CMBS frames, updates the target state and writes the answers. Two locks:
//   mutex_      guards the target state, the records and the fault table;
//   line_mutex_ guards the line (the descriptors) and keeps each written frame whole.
// line_mutex_ is never taken while mutex_ is held. Only the serving thread reads the
// master; the descriptors are closed by the serving thread while it runs, so a hang-up
// requested from another thread never pulls a descriptor from under a read.
#include "sim/sim_target.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <set>
#include <thread>

#include "platform/pty.h"

namespace sim {
namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr uint8_t kSyncByte = 0xDA;
constexpr size_t kHeaderSize = 12;
constexpr size_t kMaxFrameSize = 2052;  // what the host can take in, sync word included
constexpr size_t kMaxParams = kMaxFrameSize - kHeaderSize;

constexpr int kPollMs = 20;                 // how often the serving thread looks at its stop flags
constexpr auto kStallLimit = std::chrono::milliseconds(2000);  // give up writing to a line nobody reads
constexpr auto kByteTime = std::chrono::nanoseconds(86806);     // one 8N1 byte at 115200 baud
constexpr auto kSplitGap = std::chrono::microseconds(200);      // pause between single-byte writes

// Events.
constexpr uint16_t kEvParamSet = 0x000C;
constexpr uint16_t kEvFwStart = 0x000E;
constexpr uint16_t kEvFwNext = 0x0010;
constexpr uint16_t kEvFwEnd = 0x0012;
constexpr uint16_t kEvSysReset = 0x001C;
constexpr uint16_t kEvAreaGet = 0x0033;
constexpr uint16_t kEvAreaSet = 0x0035;
constexpr uint16_t kEvOverviewGet = 0x3004;
constexpr uint16_t kEvLogMsg = 0x3006;
constexpr uint16_t kEvPillStart = 0x3095;
constexpr uint16_t kEvPillNext = 0x3097;
constexpr uint16_t kEvPillEnd = 0x3099;
constexpr uint16_t kEvTraceInd = 0x3800;
constexpr uint16_t kEvLoggerConfigSet = 0x3801;
constexpr uint16_t kEvLoggerStatusGet = 0x3802;
constexpr uint16_t kEvPowerOff = 0x4000;
constexpr uint16_t kEvHello = 0xFF01;
constexpr uint16_t kEvHelloRes = 0xFF02;

// Information elements.
constexpr uint8_t kIeParam = 0x0E;
constexpr uint8_t kIeResponse = 0x11;
constexpr uint8_t kIeInteger = 0x13;
constexpr uint8_t kIeParamArea = 0x15;
constexpr uint8_t kIeData = 0x1B;
constexpr uint8_t kIeSysOverview = 0x36;
constexpr uint8_t kIeLogMsg = 0x37;
constexpr uint8_t kIeLoggerSwitch = 0x3E;
constexpr uint8_t kIeLoggerMask = 0x4A;

constexpr uint8_t kFactoryResetParam = 12;
constexpr size_t kHelloSize = 29;

void PutU16(Bytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void PutU32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool HasWideLength(uint8_t id) { return id == kIeParamArea || id == kIeData; }

Bytes BuildFrame(uint16_t event_id, const Bytes& params) {
  size_t n = std::min<size_t>(params.size(), 0xFFFF - 8);
  Bytes f = {kSyncByte, kSyncByte, kSyncByte, kSyncByte};
  PutU16(f, static_cast<uint16_t>(n + 8));
  PutU16(f, 0);
  PutU16(f, event_id);
  PutU16(f, static_cast<uint16_t>(n));
  f.insert(f.end(), params.begin(), params.begin() + static_cast<std::ptrdiff_t>(n));
  return f;
}

// One element of a received parameter block; value points into the block.
struct Ie {
  uint8_t id = 0;
  const uint8_t* value = nullptr;
  size_t length = 0;
};

// The elements of a block, up to the first one that does not fit in it.
std::vector<Ie> WalkIes(const Bytes& block) {
  std::vector<Ie> out;
  size_t pos = 0;
  while (pos < block.size()) {
    uint8_t id = block[pos];
    size_t header = HasWideLength(id) ? 3 : 2;
    if (pos + header > block.size()) break;
    size_t len = header == 3 ? GetU16(&block[pos + 1]) : block[pos + 1];
    if (pos + header + len > block.size()) break;
    out.push_back({id, block.data() + pos + header, len});
    pos += header + len;
  }
  return out;
}

std::optional<Ie> FindIe(const std::vector<Ie>& ies, uint8_t id) {
  for (const Ie& ie : ies) {
    if (ie.id == id) return ie;
  }
  return std::nullopt;
}

Bytes ResponseIe(uint8_t result) { return {kIeResponse, 1, result}; }

// A decoded IE_PARAM_AREA: type, address, count and whatever data follows.
struct Area {
  uint8_t type = 0;
  uint16_t address = 0;
  uint16_t count = 0;
  const uint8_t* data = nullptr;
  size_t data_length = 0;
};

std::optional<Area> DecodeArea(const std::vector<Ie>& ies) {
  auto ie = FindIe(ies, kIeParamArea);
  if (!ie || ie->length < 5) return std::nullopt;
  Area a;
  a.type = ie->value[0];
  a.address = GetU16(ie->value + 1);
  a.count = GetU16(ie->value + 3);
  a.data = ie->value + 5;
  a.data_length = ie->length - 5;
  return a;
}

// What the target sends back for one request.
struct Answer {
  uint16_t event_id = 0;
  Bytes params;
};

// Ports laid out by the targets alive in this process (their tty directories): a second
// target on one of them would take the first one's files over. A tree left behind by a
// process that is gone is laid out anew, as always.
std::mutex g_ports_mutex;
std::set<std::string> g_ports_in_use;

}  // namespace

struct Target::Impl {
  explicit Impl(Config c) : config(std::move(c)), param_area(config.param_area_size, 0) {}

  const Config config;

  // The line. Descriptors change only under line_mutex_.
  std::mutex line_mutex;
  platform::PtyPair pty;
  std::atomic<bool> line_closed{false};
  std::atomic<bool> stop{false};
  std::atomic<bool> hangup_requested{false};
  std::atomic<bool> serving{false};
  std::thread thread;
  Clock::time_point line_in_end{};  // pace_host_bytes: when the last byte from the host has crossed (serving thread)

  // Target state and records, under mutex.
  mutable std::mutex mutex;
  mutable std::condition_variable cv;
  std::string last_error;
  std::string device_path;
  std::string sysfs_root, dev_root;
  std::vector<std::string> tree;  // paths laid out by LayOutTree, in creation order
  std::vector<std::string> ports;  // the tty directories of the ports laid out (g_ports_in_use)
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

  // ---- line -------------------------------------------------------------------

  // Writes bytes on the line; the caller holds line_mutex. Paced writes keep to the
  // line rate; single-byte writes go one write call per byte. Gives up when the line
  // is closed, a stop or hang-up is requested, or nobody takes bytes for a while.
  bool WriteLocked(const Bytes& bytes, bool single_bytes) {
    const auto start = Clock::now();
    auto last_progress = start;
    size_t done = 0;
    while (done < bytes.size()) {
      if (line_closed || stop || hangup_requested) return false;
      size_t chunk = bytes.size() - done;
      if (single_bytes) chunk = 1;
      else if (config.paced) chunk = std::min<size_t>(chunk, 16);
      if (config.paced && config.pace_host_bytes) {
        // The bytes reach the other side only once the line has carried them.
        std::this_thread::sleep_until(start + kByteTime * static_cast<long>(done + chunk));
      }
      long w = platform::FdWrite(pty.master, bytes.data() + done, chunk, kPollMs);
      if (w < 0) return false;
      if (w == 0) {
        if (Clock::now() - last_progress > kStallLimit) return false;
        continue;
      }
      done += static_cast<size_t>(w);
      last_progress = Clock::now();
      if (config.paced && config.pace_host_bytes) {
        // Already waited for these bytes before writing them.
      } else if (config.paced) {
        std::this_thread::sleep_until(start + kByteTime * static_cast<long>(done));
      } else if (single_bytes && done < bytes.size()) {
        std::this_thread::sleep_for(kSplitGap);
      }
    }
    return true;
  }

  void Send(const Bytes& noise, const Bytes& frame, bool split) {
    std::lock_guard<std::mutex> guard(line_mutex);
    if (line_closed) return;
    if (!noise.empty() && !WriteLocked(noise, false)) return;
    if (!frame.empty()) WriteLocked(frame, split);
  }

  // Closes both ends: the tool then reads the line as hung up.
  void CloseLine() {
    {
      std::lock_guard<std::mutex> guard(line_mutex);
      if (line_closed) return;
      platform::FdClose(pty.master);
      platform::FdClose(pty.slave);
      pty.master = pty.slave = -1;
      line_closed = true;
    }
    std::lock_guard<std::mutex> lock(mutex);
    cv.notify_all();
  }

  // ---- serving thread ---------------------------------------------------------

  void Serve() {
    Bytes rx;
    uint8_t buf[4096];
    while (!stop && !line_closed) {
      if (hangup_requested) break;
      long n = platform::FdRead(pty.master, buf, sizeof buf, kPollMs);
      if (n == platform::kReadClosed) {
        // Not expected while the slave is held open; do not spin on it.
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait_for(lock, std::chrono::milliseconds(kPollMs), [&] { return stop || hangup_requested; });
        continue;
      }
      if (n <= 0) continue;
      {
        std::lock_guard<std::mutex> lock(mutex);
        received_bytes.insert(received_bytes.end(), buf, buf + n);
      }
      rx.insert(rx.end(), buf, buf + n);
      if (config.paced && config.pace_host_bytes) {
        // The bytes cross the line one after the other, from now or from the end of the last ones.
        line_in_end = std::max(line_in_end, Clock::now()) + kByteTime * n;
      }
      ExtractFrames(rx);
    }
    if (hangup_requested) CloseLine();
    std::lock_guard<std::mutex> lock(mutex);
    serving = false;
    cv.notify_all();
  }

  // Takes every complete frame off the front of rx, resynchronising on the sync word.
  void ExtractFrames(Bytes& rx) {
    size_t pos = 0;
    while (!stop && !line_closed && !hangup_requested) {
      while (pos < rx.size() && rx[pos] != kSyncByte) ++pos;
      if (rx.size() - pos < kHeaderSize) break;  // wait for the rest of the header
      const uint8_t* h = &rx[pos];
      if (h[1] != kSyncByte || h[2] != kSyncByte || h[3] != kSyncByte) {
        ++pos;
        continue;
      }
      size_t length = GetU16(h + 4);
      if (length < 8 || length + 4 > kMaxFrameSize) {
        ++pos;
        continue;
      }
      if (rx.size() - pos < length + 4) break;
      if (config.paced && config.pace_host_bytes) {
        // The frame is complete once its last byte has crossed; the bytes behind it come later.
        const size_t behind = rx.size() - (pos + length + 4);
        std::this_thread::sleep_until(line_in_end - kByteTime * static_cast<long>(behind));
      }
      Frame f;
      f.received_at = Clock::now();
      f.event_id = GetU16(h + 8);
      f.wire.assign(h, h + length + 4);
      f.params.assign(h + kHeaderSize, h + length + 4);
      pos += length + 4;
      HandleFrame(std::move(f));
    }
    rx.erase(rx.begin(), rx.begin() + static_cast<std::ptrdiff_t>(std::min(pos, rx.size())));
  }

  void HandleFrame(Frame frame) {
    std::optional<Answer> answer;
    std::optional<Fault> fault;
    {
      std::lock_guard<std::mutex> lock(mutex);
      int occurrence = ++occurrences[frame.event_id];
      auto it = faults.find(frame.event_id);
      if (it != faults.end() && occurrence > it->second.after &&
          (it->second.times == 0 || occurrence <= it->second.after + it->second.times)) {
        fault = it->second;
      }
      answer = Apply(frame.event_id, frame.params, fault ? fault->result : 0);
      if (fault && frame.event_id == kEvAreaGet) ReshapeAreaAnswer(frame.params, *fault, &answer);
      received.push_back(std::move(frame));
    }
    cv.notify_all();

    if (!fault) {
      if (answer) Send({}, BuildFrame(answer->event_id, answer->params), false);
      return;
    }
    if (fault->delay_ms > 0) {
      std::unique_lock<std::mutex> lock(mutex);
      cv.wait_for(lock, std::chrono::milliseconds(fault->delay_ms),
                  [&] { return stop || hangup_requested; });
    }
    if (fault->hang_up) {
      CloseLine();
      return;
    }
    if (fault->no_answer) return;
    Bytes frame_bytes = answer ? BuildFrame(answer->event_id, answer->params) : Bytes{};
    Send(fault->noise, frame_bytes, fault->split);
  }

  // A read answered for the address and byte count the fault names. Called under mutex.
  void ReshapeAreaAnswer(const Bytes& request, const Fault& fault, std::optional<Answer>* answer) {
    if (!fault.area_address && !fault.area_count) return;
    const auto asked = DecodeArea(WalkIes(request));
    if (!asked || !*answer) return;
    const uint16_t address = fault.area_address.value_or(asked->address);
    const uint16_t count = fault.result ? 0 : fault.area_count.value_or(asked->count);
    Answer a{(*answer)->event_id, {kIeParamArea}};
    PutU16(a.params, static_cast<uint16_t>(5 + count));
    a.params.push_back(asked->type);
    PutU16(a.params, address);
    PutU16(a.params, count);
    for (size_t i = 0; i < count; ++i) {
      const size_t at = size_t{address} + i;
      a.params.push_back(at < param_area.size() ? param_area[at] : 0);
    }
    Bytes r = ResponseIe(fault.result);
    a.params.insert(a.params.end(), r.begin(), r.end());
    *answer = std::move(a);
  }

  // Updates the state for one request and returns the answer, if the request has one.
  // A non-zero result refuses the request: nothing is stored or counted. Called under mutex.
  std::optional<Answer> Apply(uint16_t event, const Bytes& params, uint8_t result) {
    const std::vector<Ie> ies = WalkIes(params);
    auto respond = [&](uint8_t r) { return Answer{static_cast<uint16_t>(event + 1), ResponseIe(r)}; };
    switch (event) {
      case kEvHello:
        if (!config.answer_hello) return std::nullopt;
        return Answer{kEvHelloRes, HelloBlock()};

      case kEvParamSet: {
        auto ie = FindIe(ies, kIeParam);
        if (!ie || ie->length < 5) return respond(result ? result : 1);
        if (result == 0 && ie->value[0] == kFactoryResetParam && GetU16(ie->value + 3) == 0) ++factory_resets;
        return respond(result);
      }

      case kEvFwStart:
        if (result == 0) {
          firmware = params;
          firmware_ended = false;
        }
        return respond(result);
      case kEvFwNext:
        if (result == 0) firmware.insert(firmware.end(), params.begin(), params.end());
        return respond(result);
      case kEvFwEnd:
        if (result == 0) firmware_ended = true;
        return respond(result);

      case kEvSysReset:
        if (result == 0) ++resets;
        return std::nullopt;
      case kEvPowerOff:
        if (result == 0) ++power_offs;
        return std::nullopt;

      case kEvAreaGet: {
        auto area = DecodeArea(ies);
        // The answer holds the area element and the response: both must fit in one frame.
        const size_t max_count = kMaxParams - 3 - 5 - 3;
        if (!area || area->count > max_count || size_t{area->address} + area->count > param_area.size()) {
          return respond(result ? result : 1);
        }
        if (result != 0) return respond(result);
        // The data comes first: the host copies area data that precedes the response.
        Answer a{static_cast<uint16_t>(event + 1), {kIeParamArea}};
        PutU16(a.params, static_cast<uint16_t>(5 + area->count));
        a.params.push_back(area->type);
        PutU16(a.params, area->address);
        PutU16(a.params, area->count);
        auto first = param_area.begin() + area->address;
        a.params.insert(a.params.end(), first, first + area->count);
        Bytes r = ResponseIe(0);
        a.params.insert(a.params.end(), r.begin(), r.end());
        return a;
      }
      case kEvAreaSet: {
        auto area = DecodeArea(ies);
        if (!area || area->data_length < area->count ||
            size_t{area->address} + area->count > param_area.size()) {
          return respond(result ? result : 1);
        }
        if (result == 0) std::copy(area->data, area->data + area->count, param_area.begin() + area->address);
        return respond(result);
      }

      case kEvOverviewGet: {
        if (result != 0) return respond(result);
        Answer a{static_cast<uint16_t>(event + 1), {kIeSysOverview, 32}};
        for (uint32_t c : overview) PutU32(a.params, c);
        return a;
      }

      case kEvLogMsg: {
        // Setting the level has no answer; the host does not wait for one.
        auto ie = FindIe(ies, kIeLogMsg);
        if (ie && ie->length >= 1 && result == 0) log_level = ie->value[0];
        return std::nullopt;
      }

      case kEvPillStart: {
        std::vector<uint32_t> values;
        for (const Ie& ie : ies) {
          if (ie.id == kIeInteger && ie.length == 4) values.push_back(GetU32(ie.value));
        }
        if (values.size() < 2) return respond(result ? result : 1);
        if (result == 0) {
          pill_language = values[0];
          pill_size = values[1];
          pill.clear();
          pill_ended = false;
        }
        return respond(result);
      }
      case kEvPillNext:
        if (result == 0) pill.insert(pill.end(), params.begin(), params.end());
        return respond(result);
      case kEvPillEnd:
        if (result == 0) pill_ended = true;
        return respond(result);

      case kEvLoggerConfigSet: {
        // No answer: the host counts the configuration as applied once it is sent.
        auto sw = FindIe(ies, kIeLoggerSwitch);
        auto mask = FindIe(ies, kIeLoggerMask);
        if (!sw || sw->length < 1 || !mask || mask->length < 2 || result != 0) return std::nullopt;
        logger_switch = sw->value[0];
        logger_mask = GetU16(mask->value);
        auto data = FindIe(ies, kIeData);
        if (data && data->length >= 2) {
          size_t n = std::min<size_t>(GetU16(data->value), data->length - 2);
          logger_list.assign(data->value + 2, data->value + 2 + n);
        } else if (logger_switch != 0) {
          logger_list.clear();  // a new configuration without a filter list
        }
        return std::nullopt;
      }
      case kEvLoggerStatusGet: {
        if (result != 0) return respond(result);
        Answer a{static_cast<uint16_t>(event + 1), {kIeLoggerMask, 2}};
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

      default:
        // Link control (reset communication, state on/off) and unknown events: no answer.
        return std::nullopt;
    }
  }

  Bytes HelloBlock() const {
    if (config.hello_block) return *config.hello_block;
    Bytes b;
    PutU16(b, config.hello_word0);
    PutU16(b, config.build);
    PutU16(b, config.product_version);
    PutU16(b, config.hello_word3);
    b.resize(kHelloSize, 0);
    return b;
  }

  void RemoveTree() {
    std::vector<std::string> paths;
    {
      std::lock_guard<std::mutex> lock(mutex);
      paths.swap(tree);
      std::lock_guard<std::mutex> ports_lock(g_ports_mutex);
      for (const std::string& port : ports) g_ports_in_use.erase(port);
      ports.clear();
    }
    for (auto it = paths.rbegin(); it != paths.rend(); ++it) platform::RemovePath(*it);
  }
};

Target::Target(Config config) : impl_(std::make_unique<Impl>(std::move(config))) {}

Target::~Target() {
  impl_->stop = true;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->cv.notify_all();
  }
  if (impl_->thread.joinable()) impl_->thread.join();
  impl_->CloseLine();
  impl_->RemoveTree();
}

bool Target::Start() {
  std::lock_guard<std::mutex> line(impl_->line_mutex);
  if (impl_->thread.joinable()) return !impl_->line_closed;
  std::string error;
  platform::PtyPair pty;
  if (!platform::PtyOpen(&pty, &error)) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->last_error = error;
    return false;
  }
  impl_->pty = pty;
  impl_->line_closed = false;
  impl_->hangup_requested = false;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->device_path = pty.slave_path;
  }
  impl_->serving = true;
  try {
    impl_->thread = std::thread([impl = impl_.get()] { impl->Serve(); });
  } catch (const std::system_error& e) {
    impl_->serving = false;
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->last_error = e.what();
    return false;
  }
  return true;
}

std::string Target::DevicePath() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->device_path;
}

std::string Target::LastError() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->last_error;
}

bool Target::LayOutTree(const std::string& dir, uint8_t port, uint16_t vid, uint16_t pid) {
  auto fail = [&](const std::string& why) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->last_error = why;
    return false;
  };
  const std::string device = DevicePath();
  if (device.empty()) return fail("the target is not started");
  if (port == 0) return fail("port numbers start at 1");
  if (dir.empty()) return fail("no directory given");
  std::string root;
  try {
    root = std::filesystem::absolute(dir).lexically_normal().string();
  } catch (const std::exception& e) {
    return fail(e.what());
  }
  while (root.size() > 1 && root.back() == '/') root.pop_back();

  auto hex4 = [](uint16_t v) {
    static const char digits[] = "0123456789abcdef";
    std::string s(4, '0');
    for (int i = 3; i >= 0; --i, v = static_cast<uint16_t>(v >> 4)) s[static_cast<size_t>(i)] = digits[v & 0xF];
    return s;
  };
  const std::string serial = impl_->config.usb_serial.empty() ? "SIM5120" + hex4(port) : impl_->config.usb_serial;
  const std::string tty = "ttyACM" + std::to_string(port - 1);
  const std::string usb = "1-" + std::to_string(port);
  const std::string sys = root + "/sys";
  const std::string tty_dir = sys + "/class/tty/" + tty;
  const std::string usb_dir = sys + "/devices/usb1/" + usb;
  const std::string dev = root + "/dev";

  // Another live target's port in a shared tree: writing here would take its files over.
  std::unique_lock<std::mutex> ports_lock(g_ports_mutex);
  if (!g_ports_in_use.insert(tty_dir).second) {
    ports_lock.unlock();
    return fail("port " + std::to_string(port) + " is laid out already under " + root);
  }
  ports_lock.unlock();

  std::vector<std::string> created;
  std::string error;
  auto keep = [&](bool ok, const std::string& path) {
    if (ok && !path.empty()) created.push_back(path);
    return ok;
  };
  bool ok = platform::MakeDirs(tty_dir, &created, &error) &&
            platform::MakeDirs(usb_dir + "/" + usb + ":1.0", &created, &error) &&
            platform::MakeDirs(dev, &created, &error) &&
            keep(platform::WriteLineFile(usb_dir + "/idVendor", hex4(vid), &error), usb_dir + "/idVendor") &&
            keep(platform::WriteLineFile(usb_dir + "/idProduct", hex4(pid), &error), usb_dir + "/idProduct") &&
            keep(platform::WriteLineFile(usb_dir + "/serial", serial, &error), usb_dir + "/serial") &&
            keep(platform::WriteLineFile(usb_dir + "/product", "RX5120", &error), usb_dir + "/product") &&
            keep(platform::MakeSymlink("../../../devices/usb1/" + usb + "/" + usb + ":1.0", tty_dir + "/device", &error),
                 tty_dir + "/device") &&
            keep(platform::MakeSymlink(device, dev + "/" + tty, &error), dev + "/" + tty);
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->tree.insert(impl_->tree.end(), created.begin(), created.end());
  impl_->ports.push_back(tty_dir);  // released with the tree, laid out or not
  if (!ok) {
    impl_->last_error = error;
    return false;
  }
  impl_->sysfs_root = sys;
  impl_->dev_root = dev;
  return true;
}

std::string Target::SysfsRoot() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->sysfs_root;
}

std::string Target::DevRoot() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->dev_root;
}

void Target::SetFault(uint16_t request_event, const Fault& fault) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->faults[request_event] = fault;
  impl_->occurrences[request_event] = 0;
}

void Target::ClearFaults() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->faults.clear();
}

std::vector<Frame> Target::Received() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->received;
}

std::vector<uint8_t> Target::ReceivedBytes() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->received_bytes;
}

bool Target::WaitForFrames(size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  return impl_->cv.wait_for(lock, timeout, [&] { return impl_->received.size() >= n; });
}

bool Target::WaitForEvent(uint16_t event_id, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  return impl_->cv.wait_for(lock, timeout, [&] {
    return std::any_of(impl_->received.begin(), impl_->received.end(),
                       [&](const Frame& f) { return f.event_id == event_id; });
  });
}

#define SIM_GETTER(type, name, expr)                  \
  type Target::name() const {                         \
    std::lock_guard<std::mutex> lock(impl_->mutex);   \
    return impl_->expr;                               \
  }
SIM_GETTER(std::vector<uint8_t>, FirmwareImage, firmware)
SIM_GETTER(bool, FirmwareEnded, firmware_ended)
SIM_GETTER(std::vector<uint8_t>, PillImage, pill)
SIM_GETTER(uint32_t, PillLanguage, pill_language)
SIM_GETTER(uint32_t, PillSize, pill_size)
SIM_GETTER(bool, PillEnded, pill_ended)
SIM_GETTER(int, ResetCount, resets)
SIM_GETTER(int, PowerOffCount, power_offs)
SIM_GETTER(int, FactoryResetCount, factory_resets)
SIM_GETTER(int, LogLevel, log_level)
SIM_GETTER(uint8_t, LoggerSwitch, logger_switch)
SIM_GETTER(uint16_t, LoggerMask, logger_mask)
SIM_GETTER(std::vector<uint8_t>, LoggerList, logger_list)
#undef SIM_GETTER

std::vector<uint8_t> Target::ParamArea(size_t offset, size_t count) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const Bytes& area = impl_->param_area;
  if (offset >= area.size()) return {};
  count = std::min(count, area.size() - offset);
  return Bytes(area.begin() + static_cast<std::ptrdiff_t>(offset),
               area.begin() + static_cast<std::ptrdiff_t>(offset + count));
}

void Target::SetParamArea(size_t offset, const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  Bytes& area = impl_->param_area;
  if (offset >= area.size()) return;
  size_t n = std::min(bytes.size(), area.size() - offset);
  std::copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n),
            area.begin() + static_cast<std::ptrdiff_t>(offset));
}

void Target::SetSysOverview(const uint32_t counters[8]) {
  if (!counters) return;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  std::copy(counters, counters + 8, impl_->overview);
}

void Target::PushLogLine(uint8_t level, const std::string& text) {
  size_t n = std::min<size_t>(text.size(), 254);
  Bytes params = {kIeLogMsg, static_cast<uint8_t>(n + 1), level};
  params.insert(params.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n));
  PushFrame(kEvLogMsg, params);
}

void Target::PushTraceIndication(const std::vector<uint8_t>& params) { PushFrame(kEvTraceInd, params); }

void Target::PushFrame(uint16_t event_id, const std::vector<uint8_t>& params) {
  impl_->Send({}, BuildFrame(event_id, params), false);
}

void Target::PushBytes(const std::vector<uint8_t>& bytes) { impl_->Send(bytes, {}, false); }

void Target::HangUp() {
  impl_->hangup_requested = true;
  std::unique_lock<std::mutex> lock(impl_->mutex);
  impl_->cv.notify_all();
  // While the serving thread runs, it closes the line itself (it may be reading it).
  impl_->cv.wait_for(lock, std::chrono::seconds(10), [&] { return impl_->line_closed || !impl_->serving; });
  bool close_here = !impl_->serving;
  lock.unlock();
  if (close_here) impl_->CloseLine();
}

}  // namespace sim
