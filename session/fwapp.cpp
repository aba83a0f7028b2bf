#include "session/fwapp.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <new>
#include <thread>

#include "cmbs/cmbs_dsr.h"
#include "cmbs/cmbs_event.h"
#include "cmbs/cmbs_rx.h"
#include "platform/console_out.h"
#include "platform/registry.h"
#include "serial/serial_port.h"
#include "session/service_record.h"
#include "session/wait.h"

namespace {

// Set once the user and the command have been told: a command that checks it afterwards finds
// the message already on the console, so its own failure lines always come after it.
std::atomic<bool> g_line_gone_reported{false};
std::atomic<bool> g_line_gone_shown{false};  // its message is on the console
std::atomic<bool> g_stop_requested{false};    // the command ends as on a lost line
std::atomic<bool> g_refuse_open{false};       // a stop came: no session is opened any more
std::atomic<bool> g_retry_opens{false};       // a port that cannot be opened yet is tried again
bool g_port_opened = false;                   // some session of this process had its port open
bool g_port_unopened = false;                 // a session failed because its port would not open

constexpr auto kOpenRetryStep = std::chrono::milliseconds(20);  // between tries, and how late a stop is seen

// The port could not be had for a reason that may pass by itself: its node not there or not
// accessible yet (just plugged in), or another program holding it for a moment.
bool OpenMayPass() { return cmbs_uart_OpenFailed() && (cmbs_uart_NotReady() || cmbs_uart_InUse()); }

// Tries the open again every step until cmFwAppOpenRetryMs() have passed since the first
// failure, the failure is of another kind or a stop came.
int RetryInit(const ST_CMBS_INIT* init) {
  int rc = -1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(cmFwAppOpenRetryMs());
  while (rc != 0 && OpenMayPass() && !g_refuse_open.load() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(kOpenRetryStep);
    if (g_refuse_open.load()) break;
    rc = cmbs_api_Init(0, init, nullptr);
  }
  return rc;
}

// With retries on (a station's child), why a port stayed closed, in one line on standard error.
void TellPortNotReady(uint8_t port) {
  if (!g_retry_opens.load() || !cmbs_uart_NotReady()) return;
  const std::string com = "COM" + std::to_string(port);
  const std::string device = platform::PortDeviceName(port);
  std::fflush(stdout);
  platform::PrintText(stderr, "halvern: %s%s could not be opened within %g s: %s\n", com.c_str(),
                      device == com ? "" : (" (" + device + ")").c_str(), cmFwAppOpenRetryMs() / 1000.0,
                      cmbs_uart_OpenFailureText().c_str());
}

// The message of a line that is gone (or of a stop), once per session.
void ShowLineGone() {
  if (g_line_gone_shown.exchange(true)) return;
  std::printf(g_stop_requested.load() ? "\n[ERROR] Stopped on request\n" : "\n[ERROR] The repeater was disconnected\n");
  std::fflush(stdout);
}

uint8_t LeadingNumber(const char* text) {
  // Leading decimal number taken to 8 bits ("263" gives 7); no number gives 0.
  unsigned value = 0;
  const char* p = text ? text : "";
  while (*p == ' ' || *p == '\t') ++p;
  while (*p >= '0' && *p <= '9') value = value * 10 + static_cast<unsigned>(*p++ - '0');
  return static_cast<uint8_t>(value);
}

// The session opened with its result callback in place before the dispatcher can run.
PST_FWAPP_OBJ Init(const char* port_text, uint32_t user_data, PFN_FWAPP_PROGRESS_CB progress_cb,
                   bool quiet = false) {
  if (cmFwAppStoppedBeforeOpen()) return nullptr;  // nothing goes out, not even the hello
  // cppcheck-suppress [legacyUninitvar, unreadVariable] ; cppcheck misreads new (std::nothrow) T{}
  auto* app = new (std::nothrow) ST_FWAPP_OBJ{};
  if (!app) return nullptr;
  app->user_data = user_data;
  app->progress_cb = progress_cb;
  app->port_number = LeadingNumber(port_text);
  app->init_type = 1;
  app->init_port = &app->port_number;
  g_line_gone_reported.store(false);
  g_line_gone_shown.store(false);
  cmbs_util_Trace(1, "Try to connect to %s\n", port_text);

  ST_CMBS_INIT init{static_cast<int>(app->init_type), app->init_port};
  if (cmFwAppInitLink(&init) != 0) {
    cmbs_util_Trace(2, "[ERROR] Couldn't initialize application. Check if target is connected and running!\n");
    // A stop that ended the start-up is the reason given.
    if (!cmFwAppStoppedBeforeOpen() && !quiet) {
      cmReportSetReason(cmFwAppPortInUse() ? CM_REASON_BUSY : CM_REASON_NO_LINK);
      std::printf("[ERROR] Couldn't initialize application.\nPlease check if target is connected and running!\n");
      cmFwAppTellPortInUse(app->port_number);
    }
    delete app;
    return nullptr;
  }
  cmbs_util_Trace(1, "USB DECT Dongle connected\n");

  app->api_handle = cmbs_api_RegisterCallback(app, cmFwUpCallBack, 256);
  if (!app->api_handle) {
    cmbs_util_Trace(2, "ERROR: Can't register callback function\n");
    cmbs_api_Destroy();  // the link would otherwise stay up with no owner
    delete app;
    return nullptr;
  }
  if (cmFwAppStoppedBeforeOpen()) {  // asked before the link could hear it: nothing is started
    cmbs_api_Destroy();
    delete app;
    return nullptr;
  }
  return app;
}

}  // namespace

PST_FWAPP_OBJ cmFwAppInit(const char* port_text) { return Init(port_text, 0, nullptr); }

PST_FWAPP_OBJ cmFwAppOpenQuiet(const char* port_text) { return Init(port_text, 0, nullptr, true); }

PST_FWAPP_OBJ cmFwAppOpen(const char* port_text, uint32_t user_data, PFN_FWAPP_PROGRESS_CB progress_cb) {
  return Init(port_text, user_data, progress_cb);
}

int cmFwAppSetEventCallback(PST_FWAPP_OBJ app, PFN_FWAPP_EVENT_CB event_cb) {
  if (!app) return -1;
  app->event_cb = event_cb;
  return 0;
}

int cmFwAppSetResponseHandler(PST_FWAPP_OBJ app, uint16_t event_id, PFN_FWAPP_RESPONSE_CB handler) {
  if (!app || !handler) return -1;
  ST_FWAPP_RESPONSE* free_entry = nullptr;
  for (ST_FWAPP_RESPONSE& entry : app->responses) {
    if (!entry.handler.load()) {
      if (!free_entry) free_entry = &entry;
    } else if (entry.event_id == event_id) {
      entry.handler.store(handler);
      return 0;
    }
  }
  if (!free_entry) return -1;
  free_entry->event_id = event_id;
  free_entry->handler.store(handler, std::memory_order_release);  // the event id is seen with it
  return 0;
}

// cppcheck-suppress constParameter ; every session call takes the one handle type PST_FWAPP_OBJ
void cmFwAppGetVersion(PST_FWAPP_OBJ app, ST_FWAPP_VERSION* version) {
  if (!app || !version) return;
  *version = ST_FWAPP_VERSION{};
  version->product_version = cmbs_api_ProductVersionGet();
  version->build = cmbs_api_BuildGet();
  version->type = cmbs_api_TypeGet();
  cmbs_util_Trace(1, "Info Product version %04x Build %04x Type %04x\n", version->product_version, version->build,
                  version->type);
}

bool cmFwAppPortInUse() { return cmbs_uart_InUse(); }

// Brings the link up; with retries switched on, a port that cannot be opened yet is tried again
// every step until cmFwAppOpenRetryMs() have passed or a stop came.
int cmFwAppInitLink(const ST_CMBS_INIT* init) {
  int rc = cmbs_api_Init(0, init, nullptr);
  if (rc != 0 && g_retry_opens.load() && OpenMayPass()) rc = RetryInit(init);
  if (!cmbs_uart_OpenFailed()) {
    g_port_opened = true;
    g_port_unopened = false;
  } else if (!g_port_opened) {
    g_port_unopened = true;
  }
  return rc;
}

void cmFwAppRetryOpens(bool on) { g_retry_opens.store(on); }

bool cmFwAppPortNeverOpened() { return g_port_unopened; }

void cmFwAppTellPortMissing(uint8_t port) {
  if (g_retry_opens.load() || !cmbs_uart_Missing()) return;  // with retries, TellPortNotReady says why
  const std::string com = "COM" + std::to_string(port);
  const std::string device = platform::PortDeviceName(port);
  std::fflush(stdout);
  platform::PrintText(stderr, "halvern: %s%s is listed but missing\n", com.c_str(),
                      device == com ? "" : (" (" + device + ")").c_str());
}

void cmFwAppTellPortInUse(uint8_t port) {
  TellPortNotReady(port);
  cmFwAppTellPortMissing(port);
  if (!cmFwAppPortInUse()) return;
  const std::string com = "COM" + std::to_string(port);
  const std::string device = platform::PortDeviceName(port);
  std::fflush(stdout);  // the lines before it first, where both streams go to one place
  platform::PrintText(stderr, "halvern: %s%s is in use by another program\n", com.c_str(),
                      device == com ? "" : (" (" + device + ")").c_str());
}

bool cmFwAppSendFinal(PST_FWAPP_OBJ app, int (*send)(void* api_handle)) {
  if (!app || !send) return false;
  // Before the request goes out: the target may drop the line the moment it has it.
  app->line_loss_quiet.store(true);
  cmReportRestartRequested();
  if (send(app->api_handle) == CMBS_RC_OK && cmbs_api_Flush() == CMBS_RC_OK) return true;
  ShowLineGone();
  return false;
}

std::string cmFwAppPortText(uint8_t port) { return std::to_string(port); }

std::string cmFwAppTakeReadNote(PST_FWAPP_OBJ app) {
  if (!app) return "";
  std::lock_guard lock(app->get_mutex);
  if (!app->size_note) return "";
  app->size_note = false;
  const unsigned asked = app->note_read.count, answered = app->note_answered;
  char note[120];
  if (answered < asked)
    std::snprintf(note, sizeof note, "0x%04X: the repeater answered %u of %u byte%s", app->note_read.address, answered,
                  asked, asked == 1 ? "" : "s");
  else
    std::snprintf(note, sizeof note, "0x%04X: the repeater answered %u of %u byte%s: the first %u %s used",
                  app->note_read.address, answered, asked, asked == 1 ? "" : "s", asked, asked == 1 ? "is" : "are");
  return note;
}

ST_FWAPP_VERSION cmFwAppPrintVersion(PST_FWAPP_OBJ app, bool upper_case) {
  ST_FWAPP_VERSION version{};
  cmFwAppGetVersion(app, &version);
  std::printf(upper_case ? "Product: SW Version %02X.%02X.%04X\n\n" : "Product: SW Version %02x.%02x.%04x\n\n",
              version.product_version >> 8, version.product_version & 0xFF, version.build);
  cmReportSetVersionBefore(version.product_version, version.build);
  std::printf("===============================================================================\n\n");
  return version;
}

int cmFwAppParamGet(PST_FWAPP_OBJ app, uint16_t offset, uint16_t length, uint8_t* destination) {
  if (!app) return CMBS_RC_ERROR_PARAMETER;
  {
    // Recorded before the request goes out: the answer may come before the send returns.
    std::lock_guard lock(app->get_mutex);
    app->get_buffer = destination;
    app->get_buffer_size = length;
    app->get_address = offset;
    app->get_pending = true;
    app->size_note = false;
  }
  const int rc = cmbs_dsr_param_AreaGet(app->api_handle, 0, offset, length);
  if (rc != CMBS_RC_OK) {
    std::lock_guard lock(app->get_mutex);
    app->get_pending = false;  // nothing went out, so nothing may complete it
  }
  return rc;
}

bool cmFwAppParamCancel(PST_FWAPP_OBJ app) {
  if (!app) return false;
  ST_FWAPP_FENCE fence{};
  bool send_fence = false;
  bool was_pending = false;
  {
    std::lock_guard lock(app->get_mutex);
    was_pending = app->get_pending || app->set_pending;
    if (app->get_pending) {
      // Its answer may still come; with the list full, the oldest read given up is forgotten.
      if (app->given_up_count == FWAPP_GIVEN_UP) {
        std::copy(app->given_up + 1, app->given_up + FWAPP_GIVEN_UP, app->given_up);
        --app->given_up_count;
      }
      app->given_up[app->given_up_count++] = {app->get_address, app->get_buffer_size};
    }
    app->get_pending = false;
    // A line that is gone answers nothing; with every fence slot taken the line hardly answers
    // at all, and the fences out settle these writes once one of them is answered.
    if (app->set_pending && !cmFwAppLineGone() && app->fence_count < FWAPP_FENCES) {
      fence = {app->set_address, static_cast<uint16_t>(1 + app->fences_sent % 2), app->sets_sent};
      // Recorded before it goes out: its answer may come before the send returns.
      app->fences[app->fence_count++] = fence;
      ++app->fences_sent;
      send_fence = true;
    }
    app->set_pending = false;
  }
  if (send_fence && cmbs_dsr_param_AreaGet(app->api_handle, 0, fence.address, fence.count) != CMBS_RC_OK) {
    std::lock_guard lock(app->get_mutex);
    if (app->fence_count > 0) --app->fence_count;  // the last one recorded did not go out
  }
  return was_pending;
}

int cmFwAppParamSet(PST_FWAPP_OBJ app, uint16_t offset, uint16_t length, const uint8_t* data) {
  if (!app) return CMBS_RC_ERROR_PARAMETER;
  {
    std::lock_guard lock(app->get_mutex);
    app->set_pending = true;
    app->set_address = offset;
    ++app->sets_sent;
    app->size_note = false;
  }
  const int rc = cmbs_dsr_param_AreaSet(app->api_handle, 0, offset, data, length);
  if (rc != CMBS_RC_OK) {
    std::lock_guard lock(app->get_mutex);
    app->set_pending = false;  // nothing went out, so nothing may complete it
    --app->sets_sent;
    app->sets_settled = std::min(app->sets_settled, app->sets_sent);
  }
  return rc;
}

void cmFwAppClose(PST_FWAPP_OBJ app) {
  cmbs_api_Destroy();
  if (!app) return;
  if (app->file_handle) (void)std::fclose(app->file_handle);  // the update file, read only
  delete app;
}

namespace {

// The handler a command registered for this answer event; none when it registered none.
PFN_FWAPP_RESPONSE_CB ResponseHandler(PST_FWAPP_OBJ app, uint32_t event_id) {
  for (ST_FWAPP_RESPONSE& entry : app->responses) {
    PFN_FWAPP_RESPONSE_CB handler = entry.handler.load(std::memory_order_acquire);
    if (handler && entry.event_id == event_id) return handler;
  }
  return nullptr;
}

}  // namespace

void cmFwUpCallBack(void* context, uint32_t event_id, void* param) {
  auto* app = static_cast<PST_FWAPP_OBJ>(context);
  if (!app) {
    cmbs_util_Trace(2, "cmFwUpCallBack ERROR: invalid PST_FWAPP_OBJ\n");
    return;
  }
  auto* block = static_cast<PST_CMBS_PARAM_BLOCK>(param);
  switch (event_id) {
    case CMBS_EV_DSR_PARAM_GET_RES:
    case CMBS_EV_DSR_PARAM_AREA_GET_RES:
      cmFwAppOnParamGetRsp(app, block);
      break;
    case CMBS_EV_DSR_PARAM_SET_RES:
    case CMBS_EV_DSR_PARAM_AREA_SET_RES:
      cmFwAppOnParamSetRsp(app, block);
      break;
    case CMBS_EV_INT_LINE_GONE:
      cmFwAppOnLineGone(app);
      break;
    default:
      if (PFN_FWAPP_RESPONSE_CB handler = ResponseHandler(app, event_id))
        handler(app, block);
      else if (PFN_FWAPP_EVENT_CB event_cb = app->event_cb.load())
        event_cb(app, static_cast<uint16_t>(event_id), param);
      else
        cmbs_util_Trace(2, "cmFwUpCallBack UNHANDLED EventID:%d\n", event_id);
      break;
  }
}

void cmFwAppOnLineGone(PST_FWAPP_OBJ app) {
  if (!app->line_loss_quiet.load() || g_stop_requested.load()) ShowLineGone();
  g_line_gone_reported.store(true);
  if (app->progress_cb) app->progress_cb(app->user_data, FWAPP_LINE_GONE, 0);
  ST_CMBS_PARAM_BLOCK empty{0, 0, 0, nullptr};
  if (PFN_FWAPP_EVENT_CB event_cb = app->event_cb.load()) event_cb(app, CMBS_EV_INT_LINE_GONE, &empty);
}

bool cmFwAppLineGone() { return g_line_gone_reported.load(); }

void cmFwAppRequestStop() {
  g_refuse_open.store(true);
  g_stop_requested.store(true);
  cmbs_rx_EndSoon();  // the receive thread reports it after the frames already queued
}

void cmFwAppRefuseOpen() { g_refuse_open.store(true); }

bool cmFwAppOpenRefused() { return g_refuse_open.load(); }

bool cmFwAppStoppedBeforeOpen() {
  if (!g_refuse_open.load()) return false;
  std::printf("\n[ERROR] Stopped on request\n");
  std::fflush(stdout);
  return true;
}

namespace {

// What a get answer says up to its response element: only data in front of it counts.
struct GetAnswer {
  bool has_area = false;
  ST_IE_PARAM_AREA area{};  // the first area element; its count is cut to the bytes it holds
  bool accepted = false;    // an IE_RESPONSE with result 0
};

GetAnswer ReadGetAnswer(PST_CMBS_PARAM_BLOCK block) {
  GetAnswer answer;
  if (!block) return answer;
  uint8_t* ie = nullptr;
  uint16_t type = 0;
  for (cmbs_ie_GetFirst(block, &ie, &type); ie; cmbs_ie_GetNext(block, &ie, &type)) {
    if (type == IE_PARAM_AREA && !answer.has_area) {
      answer.has_area = cmbs_ie_GetParamArea(ie, &answer.area) == CMBS_RC_OK;
    } else if (type == IE_RESPONSE) {
      uint32_t result = 1;
      cmbs_ie_GetResponse(ie, &result);
      answer.accepted = result == 0;
      break;
    }
  }
  return answer;
}

// Under get_mutex: when the answer is a fence's, settles every write sent before that fence and
// returns true. Fences are answered in the order sent, so the first one the answer fits is its
// own; the ones before it are lost, and it covers their writes too. A refusal fits by its
// address alone, as it carries no data.
bool SettleFence(PST_FWAPP_OBJ app, const GetAnswer& answer) {
  if (!answer.has_area) return false;
  for (uint32_t i = 0; i < app->fence_count; ++i) {
    const ST_FWAPP_FENCE& fence = app->fences[i];
    if (answer.area.address != fence.address || (answer.accepted && answer.area.count != fence.count)) continue;
    app->sets_settled = std::max(app->sets_settled, fence.covers);
    std::copy(app->fences + i + 1, app->fences + app->fence_count, app->fences);
    app->fence_count -= i + 1;
    return true;
  }
  return false;
}

// Whether the answer is the one of this read as far as it tells: it names the read's address
// and, when accepted, carries its byte count (a refusal carries no data).
bool FitsRead(const GetAnswer& answer, ST_FWAPP_READ read) {
  return answer.has_area && answer.area.address == read.address && (!answer.accepted || answer.area.count == read.count);
}

// Under get_mutex: when the answer fits a read given up, that read is answered at last; it is
// forgotten and true returned. The oldest one it fits is taken, as answers come in order.
bool SettleGivenUp(PST_FWAPP_OBJ app, const GetAnswer& answer) {
  for (uint32_t i = 0; i < app->given_up_count; ++i) {
    if (!FitsRead(answer, app->given_up[i])) continue;
    std::copy(app->given_up + i + 1, app->given_up + app->given_up_count, app->given_up + i);
    --app->given_up_count;
    return true;
  }
  return false;
}

}  // namespace

void cmFwAppOnParamGetRsp(PST_FWAPP_OBJ app, PST_CMBS_PARAM_BLOCK block) {
  const GetAnswer answer = ReadGetAnswer(block);
  std::lock_guard lock(app->get_mutex);
  // A fence went out before the read in progress, so its answer comes first.
  if (SettleFence(app, answer)) return;
  const ST_FWAPP_READ read{app->get_address, app->get_buffer_size};
  // The late answer of a read given up; one that fits the read in progress just as well cannot
  // be told from its own answer and is taken (the read given up stays owed an answer).
  if (!(app->get_pending && FitsRead(answer, read)) && SettleGivenUp(app, answer)) return;
  if (!app->get_pending) return;  // given up, or never asked for: nobody waits for it
  const bool for_this_address = answer.has_area && answer.area.address == read.address;
  // Carrying data for another address, it answers an earlier read; this read's own may still come.
  if (answer.accepted && answer.has_area && !for_this_address) return;
  // The target may cut a read short (at the end of its area): an answer for this address is
  // the answer, whatever its byte count. No more than the bytes asked are copied.
  const uint16_t copied = for_this_address ? std::min(answer.area.count, read.count) : uint16_t{0};
  if (copied > 0 && app->get_buffer && answer.area.data) std::memcpy(app->get_buffer, answer.area.data, copied);
  const bool whole = for_this_address && answer.area.count >= read.count;
  const uint32_t code = answer.accepted && whole ? FWAPP_PARAM_GET_OK : FWAPP_PARAM_FAILED;
  if (answer.accepted && for_this_address && answer.area.count != read.count) {
    app->size_note = true;
    app->note_read = read;
    app->note_answered = answer.area.count;
  }
  // Released before the report: the command may ask for its next read as soon as it learns
  // this result, and that request's record must not be cleared afterwards.
  uint8_t* destination = app->get_buffer;
  app->get_pending = false;
  app->get_buffer = nullptr;
  app->get_buffer_size = 0;
  if (app->progress_cb) app->progress_cb(app->user_data, code, reinterpret_cast<uintptr_t>(destination));
}

void cmFwAppOnParamSetRsp(PST_FWAPP_OBJ app, PST_CMBS_PARAM_BLOCK block) {
  uint32_t code = FWAPP_PARAM_FAILED;
  if (block) {
    uint8_t* ie = nullptr;
    uint16_t type = 0;
    for (cmbs_ie_GetFirst(block, &ie, &type); ie; cmbs_ie_GetNext(block, &ie, &type)) {
      if (type == IE_RESPONSE) {
        uint32_t result = 1;
        cmbs_ie_GetResponse(ie, &result);
        if (result == 0) code = FWAPP_PARAM_SET_OK;
        break;
      }
    }
  }
  std::lock_guard lock(app->get_mutex);
  if (app->sets_settled >= app->sets_sent) return;  // every write is settled: nobody's answer
  // The oldest write not settled is this answer's.
  if (++app->sets_settled != app->sets_sent || !app->set_pending) return;  // one given up: dropped
  app->set_pending = false;
  app->fence_count = 0;  // the fences went out before this write: their answers are lost
  if (app->progress_cb) app->progress_cb(app->user_data, code, 0);
}
