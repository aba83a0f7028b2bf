// Trace events, the trace file and the logger status display (module main_tracer_event).
#include "tracer/main_tracer_event.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <string>

#include "cmbs/cmbs_dsr.h"
#include "cmbs/cmbs_event.h"
#include "platform/console.h"
#include "platform/file_io.h"
#include "platform/local_time.h"
#include "platform/path.h"
#include "session/console_text.h"
#include "session/service_record.h"
#include "tracer/main_tracer_user.h"
#include "tracer/tracer_out.h"

namespace {

const char* const kModule = "main_tracer_event";
constexpr int kStatusIds = 10;

// The trace file and the scrambler's key index. The lock is held over each record's
// scrambling and write, and over closing. Never destroyed: an event handled while the
// program ends still finds it.
struct TraceState {
  std::mutex mutex;
  platform::OutputFile file;
  std::string path;  // of the trace file last opened
  uint64_t key_index = 0;
  bool lost = false;  // a record since the file was opened did not reach it whole
  PFN_TRACER_PACKET_SINK sink = nullptr;
};

TraceState& Trace() {
  static TraceState* const state = new TraceState;
  return *state;
}

int32_t ReadLe32(const uint8_t* at) {
  return static_cast<int32_t>(static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
                              static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24);
}

}  // namespace

int cmTracerGetData(const uint8_t* ie, uint8_t* buffer, uint16_t* length, uint16_t capacity) {
  if (!ie || !buffer) {
    cmTracerOut("%s %d: [ERROR]: Invalid parameters\n", kModule, 113);
    return -1;
  }
  ST_IE_DATA data{};
  if (cmbs_ie_GetData(ie, &data) != CMBS_RC_OK) {
    cmTracerOut("%s %d: [ERROR]: Getting DECT packet\n", kModule, 119);
    return -1;
  }
  if (data.length > capacity) {
    cmTracerOut("%s, %d: [NS]: Buffer is not large enougth to hold target data\n", kModule, 130);
    return -1;
  }
  if (data.length) std::memcpy(buffer, data.data, data.length);
  if (length) *length = data.length;
  return 0;
}

int cmTracerGetMessage(PST_CMBS_PARAM_BLOCK block, ST_TRACE_MSG* msg) {
  *msg = ST_TRACE_MSG{};
  uint8_t* ie = nullptr;
  uint16_t type = 0;
  cmbs_ie_GetFirst(block, &ie, &type);
  uint8_t* const fields[] = {&msg->dst, &msg->src, &msg->mid, &msg->flags, &msg->offsets};
  for (int i = 0; i < 5; ++i) {
    if (i == 4 && !(msg->flags & 0x02)) break;  // offsets only come with a second packet
    if (!ie) return -1;
    cmbs_ie_GetU8(ie, fields[i]);
    cmbs_ie_GetNext(block, &ie, &type);
  }
  uint16_t nsize = 0;
  if (cmTracerGetData(ie, msg->data, &nsize, TRACE_DATA_SIZE) != 0) return -1;
  msg->nsize = nsize;
  return 0;
}

std::unique_ptr<uint8_t[]> cmTracerBuildPacket(const ST_TRACE_MSG* msg, int packet, uint16_t* length) {
  const size_t nsize = std::min<size_t>(msg->nsize, TRACE_DATA_SIZE);
  size_t payload_from = 0, payload = nsize;
  uint8_t header[7] = {0x4C, 0x47, msg->dst, msg->src, msg->mid, msg->dst, static_cast<uint8_t>(nsize)};
  if (packet != 0) {
    // The second packet: its length byte and its bytes lie in the data. Both are taken only
    // from the bytes the target sent; a packet reaching beyond them is cut there.
    const size_t length_at = msg->offsets >> 4;
    payload_from = msg->offsets & 0x0F;
    payload = length_at < nsize ? msg->data[length_at] : 0;
    payload = std::min(payload, payload_from < nsize ? nsize - payload_from : 0);
    const bool same = ((msg->flags >> 0) & 1) == ((msg->flags >> 2) & 1);
    header[0] = same ? 1 : 0;
    header[1] = static_cast<uint8_t>(1 - header[0]);
    header[5] = (msg->flags & 0x04) ? msg->src : msg->dst;
    header[6] = static_cast<uint8_t>(payload * 4);
  }
  std::unique_ptr<uint8_t[]> bytes(new (std::nothrow) uint8_t[7 + payload]);
  if (!bytes) return nullptr;
  std::memcpy(bytes.get(), header, 7);
  if (payload) std::memcpy(bytes.get() + 7, msg->data + payload_from, payload);
  *length = static_cast<uint16_t>(7 + payload);
  return bytes;
}

size_t cmTracerRenderRecord(const uint8_t* packet, size_t n, char* out) {
  static const char kHex[] = "0123456789ABCDEF";
  n = std::min(n, TRACE_PACKET_MAX);
  char* p = out;
  // The record is counted bytes, not a C text: no terminator follows it.
  std::memcpy(p, "BEGIN", 5);  // NOLINT(bugprone-not-null-terminated-result): counted bytes
  p += 5;
  for (size_t i = 0; i < n; ++i) {
    if (i % 8 == 0) {
      *p++ = '\r';
      *p++ = '\n';
    }
    *p++ = kHex[packet[i] >> 4];
    *p++ = kHex[packet[i] & 0x0F];
    *p++ = ' ';
  }
  std::memcpy(p, "\r\nEND\r\n\r\n", 9);  // NOLINT(bugprone-not-null-terminated-result): counted bytes
  p += 9;
  return static_cast<size_t>(p - out);
}

void cmTracerScramble(char* text, size_t length) {
  if (!text || length == 0) {
    cmTracerOut("%s %d: [ERROR]: Invalid parameters\n", kModule, 266);
    return;
  }
  uint64_t& index = Trace().key_index;
  for (size_t i = 0; i < length; ++i) text[i] = static_cast<char>(text[i] ^ TRACE_KEY[index++ % 3]);
}

uint64_t cmTracerKeyIndex() { return Trace().key_index; }

void cmTracerWriteMessage(const ST_TRACE_MSG* msg) {
  TraceState& t = Trace();
  std::lock_guard lock(t.mutex);
  if (!t.file.IsOpen() && !t.sink) {
    cmTracerOut("%s, %d: [ERROR]: Text file is not open!\n", kModule, 300);
    return;
  }
  const int packets = (msg->flags & 0x02) ? 2 : 1;
  char record[TRACE_RECORD_MAX + 1];
  for (int k = 0; k < packets; ++k) {
    uint16_t n = 0;
    std::unique_ptr<uint8_t[]> packet = cmTracerBuildPacket(msg, k, &n);
    if (!packet) {
      cmTracerOut("%s %d: [ERROR]: Allocating memory for pcap packet\n", kModule, 237);
      cmTracerOut("%s %d: [ERROR]: Preparing pcap packet\n", kModule, 315);
      return;
    }
    if (t.sink) t.sink(packet.get(), n);
    if (!t.file.IsOpen()) continue;
    const size_t length = cmTracerRenderRecord(packet.get(), n, record);
    cmTracerScramble(record, length);
    const size_t written = t.file.Write(record, length);
    // Keep the key in step with the file offset even when the system took less.
    t.key_index -= length - written;
    if (written < length) t.lost = true;
  }
}

int cmTracerFileOpen(const char* dir) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (!platform::LocalTime(now, &local)) local = std::tm{};
  char name[96];
  std::snprintf(name, sizeof name, "%s-%d_%d_%d__%d_%d_%d.txt", TRACE_FILE_PREFIX, local.tm_mday, local.tm_mon + 1,
                local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec);
  if (!dir || !*dir) return cmTracerFileOpenAt(name);
  return cmTracerFileOpenAt(platform::JoinPath(dir, name).c_str());
}

int cmTracerFileOpenAt(const char* path) {
  TraceState& t = Trace();
  std::lock_guard lock(t.mutex);
  if (t.file.IsOpen()) return 0;
  int error = 0;
  if (!t.file.Create(path, &error)) {
    cmTracerOut("%s, %d: [ERROR]: Opening the file, error=%d\n", kModule, 533, error);
    cmTellCannotCreate(path, error);
    return -1;
  }
  t.path = path;
  t.lost = false;
  return 0;
}

bool cmTracerFileLost() {
  TraceState& t = Trace();
  std::lock_guard lock(t.mutex);
  return t.lost;
}

void cmTracerTellLost() {
  std::string path;
  {
    TraceState& t = Trace();
    std::lock_guard lock(t.mutex);
    path = t.path;
  }
  cmReportSetReason(CM_REASON_FILE);
  cmTell("cannot write '%s': records were lost", path.c_str());
}

void cmTracerFileClose() {
  TraceState& t = Trace();
  {
    std::lock_guard lock(t.mutex);
    if (!t.file.IsOpen()) return;
    t.file.Close();
  }
  if (!cmFwAppLineGone()) cmbs_dsr_logger_ConfigSet(nullptr, 0, LOGGER_MASK_OFF, nullptr, 0);
}

void cmTracerSetPacketSink(PFN_TRACER_PACKET_SINK sink) {
  TraceState& t = Trace();
  std::lock_guard lock(t.mutex);
  t.sink = sink;
}

bool cmTracerFileIsOpen() {
  TraceState& t = Trace();
  std::lock_guard lock(t.mutex);
  return t.file.IsOpen();
}

void cmTracerPrintStatus(PST_CMBS_PARAM_BLOCK block) {
  uint8_t* ie = nullptr;
  uint16_t type = 0;
  cmbs_ie_GetFirst(block, &ie, &type);
  if (!ie || type != IE_LOGGER_MASK) {
    cmTracerOut("%s, %d: [ERROR]: Unable to print/get logger status, unknown ie=%u\n", kModule, 475,
                static_cast<unsigned>(type));
    return;
  }
  uint16_t mask = 0;
  cmbs_ie_GetU16(ie, &mask);
  auto on_off = [](bool on) { return on ? "on" : "off"; };
  std::string text = "---------------------------\n";
  char line[128];
  std::snprintf(line, sizeof line, "ALL_TASKS   ----------> %s\n", on_off(mask == LOGGER_MASK_ALL));
  text += line;
  for (const ST_LOGGER_LAYER& layer : g_logger_layers) {
    std::snprintf(line, sizeof line, "%-11s ----------> %s\n", layer.label, on_off(mask & layer.bit));
    text += line;
  }
  if (mask == LOGGER_MASK_FILTER) {
    text += "MSG_FILTER  ----------> on\n";
    cmTracerOut("%s", text.c_str());
    text.clear();
    uint8_t list[4 * kStatusIds];
    std::memset(list, 0xFF, sizeof list);  // -1 in every place
    uint16_t length = 0;
    cmbs_ie_GetNext(block, &ie, &type);
    if (cmTracerGetData(ie, list, &length, sizeof list) != 0) {
      cmTracerOut("%s, %d: [ERROR]: Couldnt get data relative to active messages\n", kModule, 451);
      return;
    }
    // Only whole ids count: the bytes of a cut-off last id are not mixed with the -1 behind them.
    for (int i = 0; i < length / 4; ++i) {
      const int32_t id = ReadLe32(list + 4 * static_cast<size_t>(i));
      if (id == -1) continue;
      const std::string name = cmMidName(id);
      std::snprintf(line, sizeof line, " *%3u ------->", static_cast<unsigned>(id));
      text += line;
      text += name;
      text += "\n";
    }
  } else {
    text += "MSG_FILTER  ----------> off\n";
  }
  text += "---------------------------\n";
  cmTracerOut("%s", text.c_str());
}

void cmTracerCallBack(PST_FWAPP_OBJ, uint16_t event_id, void* param) {
  auto* block = static_cast<PST_CMBS_PARAM_BLOCK>(param);
  switch (event_id) {
    case CMXX_EV_LOGGER_TRACE_IND: {
      ST_TRACE_MSG msg;
      if (cmTracerGetMessage(block, &msg) != 0) {
        cmTracerOut("%s, %d: [WARNING]: Invalid parameters for received message(mid=%u), (src=%u), (dst=%u), "
                    "(nsize=%u)\n",
                    kModule, 497, msg.mid, msg.src, msg.dst, msg.nsize);
        return;
      }
      cmTracerWriteMessage(&msg);
      break;
    }
    case CMXX_EV_LOGGER_STATUS_GET_RES:
      cmTracerPrintStatus(block);
      break;
    case CMBS_EV_INT_LINE_GONE:
      platform::ConsoleInterrupt();  // the console ends by itself: nothing more can come
      break;
    default:
      break;
  }
}
