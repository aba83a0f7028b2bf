// The PILL update: a start request announces the language and the file size, the file follows
// in packets of at most 256 bytes (the first one carries the language and size in front of
// 248 file bytes), and an end request closes the transfer. Like the firmware engine it is
// driven by the target's answers on the receive thread, and closes the session itself after
// the last one.
#include <chrono>
#include <cstdio>
#include <new>
#include <thread>

#include "cmbs/cmbs_dsr.h"
#include "cmbs/cmbs_event.h"
#include "cmbs/cmbs_frame.h"
#include "platform/console_out.h"
#include "session/console_text.h"
#include "session/service_record.h"
#include "session/wait.h"
#include "update/fwup.h"
#include "update/fwup_transfer.h"
#include "update/update_file.h"

namespace {

constexpr auto kStartPause = std::chrono::milliseconds(200);

void Report(PST_FWAPP_OBJ app, uint32_t code, uintptr_t value) {
  if (app->progress_cb) app->progress_cb(app->user_data, code, value);
}

void PutLe32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

PST_FWAPP_OBJ cmPillUpdInitialize(const char* port_text) {
  if (cmFwAppStoppedBeforeOpen()) return nullptr;  // nothing goes out, not even the hello
  // cppcheck-suppress [legacyUninitvar, unreadVariable] ; cppcheck misreads new (std::nothrow) T{}
  auto* app = new (std::nothrow) ST_FWAPP_OBJ{};
  if (!app) return nullptr;
  unsigned port = 0;
  for (const char* p = port_text ? port_text : ""; *p >= '0' && *p <= '9'; ++p) port = port * 10 + unsigned(*p - '0');
  app->port_number = static_cast<uint8_t>(port);
  app->init_type = 1;
  app->init_port = &app->port_number;
  cmbs_util_Trace(1, "Try to connect to %s\n", port_text ? port_text : "");

  const ST_CMBS_INIT init{static_cast<int>(app->init_type), app->init_port};
  if (cmFwAppInitLink(&init) != 0) {
    if (!cmFwAppStoppedBeforeOpen()) {  // a stop is the reason given
      std::printf("cmbs_api_Init FAILED!\n");
      cmReportSetReason(cmFwAppPortInUse() ? CM_REASON_BUSY : CM_REASON_NO_LINK);
    }
    cmFwAppTellPortInUse(app->port_number);
    delete app;
    return nullptr;
  }
  cmbs_util_Trace(1, "USB DECT Dongle connected\n");

  app->api_handle = cmbs_api_RegisterCallback(app, cmPillUpdCallBack, 256);
  if (!app->api_handle) {
    cmbs_util_Trace(3, "cmPillUpdInitialize ERROR: Can't register callback function\n");
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

int cmPillUpdStart(PST_FWAPP_OBJ app, const char* path, uint32_t user_data, PFN_FWAPP_PROGRESS_CB progress_cb) {
  if (!app) {
    std::printf("cmPillUpdStart-ERROR: !!! Couldn't read file\n");
    cmbs_util_Trace(3, "\ncmPillUpdStart-ERROR: !!! Couldn't read file\n");
    return -1;
  }
  cmFwUpTransferEngineStart();
  app->progress_cb = progress_cb;
  app->user_data = user_data;
  std::this_thread::sleep_for(kStartPause);

  int error = 0;
  std::FILE* file = cmUpdFileOpenRead(path, &error);
  if (!file) {
    platform::PrintText(stdout, "cmPillUpdStart ERROR:%d Unable to open file %s\n", error, path ? path : "");
    cmbs_util_Trace(2, "cmPillUpdStart ERROR:%d Unable to open file %s\n", error, path ? path : "");
    cmTellCannotOpen(path, error);
    return -1;
  }
  app->file_handle = file;
  uint64_t size = 0;
  if (!cmUpdFileSize(file, &size)) return 0;  // nothing goes out; the command's wait runs out
  cmUpdImageLoad(file);  // every packet comes from these bytes
  if (cmUpdImageWhole()) size = cmUpdImageSize();
  app->file_size = static_cast<uint32_t>(size);
  app->chunk_total = app->file_size / FWUP_CHUNK_SIZE + (app->file_size % FWUP_CHUNK_SIZE != 0 ? 1 : 0);
  app->chunk_count = 0;

  PST_CMBS_PARAM_BLOCK block = cmbs_ie_BlockGet();
  if (!block) return -1;  // cannot happen on the command thread: it always has a builder slot
  cmbs_ie_AddIntegerValue(block, app->language);
  cmbs_ie_AddIntegerValue(block, app->file_size);
  // Once the request is out, its answer may be handled on the receive thread at any moment.
  cmFwUpTransferSendStart(CMXX_EV_DSR_PILL_UPD_START_RES,
                          [&] { return cmbs_event_Send(CMXX_EV_DSR_PILL_UPD_START, block->data, block->length); });
  return 0;
}

void cmPillUpdContinue(PST_FWAPP_OBJ app, bool first) {
  if (!app) return;
  bool failed = false;
  size_t length = 0;
  if (first) {
    PutLe32(app->packet, app->language);
    PutLe32(app->packet + 4, app->file_size);
    const size_t n = cmUpdImageRead(app->packet + PILL_PREFIX_SIZE, FWUP_CHUNK_SIZE - PILL_PREFIX_SIZE, &failed);
    if (n > 0) length = n + PILL_PREFIX_SIZE;
  } else {
    length = cmUpdImageRead(app->packet, FWUP_CHUNK_SIZE, &failed);
  }
  if (failed) {
    // A file that fails to read is no whole PILL: the end request would have the target take the
    // part it got. Nothing more is sent; the command's wait runs out and reports the failure.
    cmbs_util_Trace(3, "PillUpdContinue ERROR: reading the PILL file failed\n");
    return;
  }

  if (length == 0) {
    cmUpdFileClose(app->file_handle);
    app->file_handle = nullptr;  // so that closing the session does not close it again
    cmFwUpTransferExpect(CMXX_EV_DSR_PILL_UPD_END_RES);
    cmbs_event_Send(CMXX_EV_DSR_PILL_UPD_END, nullptr, 0);
    return;
  }
  ++app->chunk_count;
  cmbs_util_Trace(1, "PillUpdContinue chunk %4d of %4d (%3d bytes)", app->chunk_count, app->chunk_total,
                  static_cast<int>(length));
  cmFwUpTransferExpect(CMXX_EV_DSR_PILL_UPD_PACKETNEXT_RES);
  cmbs_event_Send(CMXX_EV_DSR_PILL_UPD_PACKETNEXT, app->packet, static_cast<uint16_t>(length));
}

uint8_t cmPillUpdGetResult(PST_CMBS_PARAM_BLOCK block) { return cmFwUpGetResult(block); }

void cmPillUpdCallBack(void* context, uint32_t event_id, void* param) {
  auto* app = static_cast<PST_FWAPP_OBJ>(context);
  if (!app) {
    cmbs_util_Trace(3, "cmPillUpdCallBack ERROR: invalid PST_FWAPP_OBJ\n");
    return;
  }
  auto* block = static_cast<PST_CMBS_PARAM_BLOCK>(param);
  switch (event_id) {
    case CMXX_EV_DSR_PILL_UPD_START_RES:
      cmPillUpdOnStartRsp(app, block);
      break;
    case CMXX_EV_DSR_PILL_UPD_PACKETNEXT_RES:
      cmPillUpdOnNextRsp(app, block);
      break;
    case CMXX_EV_DSR_PILL_UPD_END_RES:
      cmPillUpdOnEndRsp(app, block);
      break;
    case CMBS_EV_INT_LINE_GONE:
      cmFwAppOnLineGone(app);
      break;
    default:
      cmbs_util_Trace(2, "cmPillUpdCallBack UNHANDLED EventID:%d\n", event_id);
      break;
  }
}

void cmPillUpdOnStartRsp(PST_FWAPP_OBJ app, PST_CMBS_PARAM_BLOCK block) {
  if (!app) {
    cmbs_util_Trace(3, "cmPillUpdOnStartRsp ERROR: invalid PST_FWAPP_OBJ\n");
    return;
  }
  if (!cmFwUpTransferAccept(CMXX_EV_DSR_PILL_UPD_START_RES)) return;  // not awaited: ignored
  if (cmPillUpdGetResult(block) != 0) {
    cmbs_util_Trace(3, "PillUpdStart-ERROR: !!! CMXX_EV_DSR_PILL_UPD_START failed on target\n");
    Report(app, FWAPP_UPDATE_FAILED, 0);
    cmReportRestartRequested();
    cmbs_dsr_sys_Reset(app->api_handle);
    cmFwUpTransferEngineClose(app);
    return;
  }
  Report(app, FWAPP_UPDATE_START, 0);
  cmPillUpdContinue(app, true);
}

void cmPillUpdOnNextRsp(PST_FWAPP_OBJ app, PST_CMBS_PARAM_BLOCK block) {
  if (!app) {
    cmbs_util_Trace(3, "cmPillUpdOnNextRsp ERROR: invalid PST_FWAPP_OBJ\n");
    return;
  }
  if (!cmFwUpTransferAccept(CMXX_EV_DSR_PILL_UPD_PACKETNEXT_RES)) return;
  if (cmPillUpdGetResult(block) != 0) {
    cmbs_util_Trace(3, "PillUpdNext-ERROR: !!! CMXX_EV_DSR_PILL_UPD_PACKETNEXT failed on target\n");
    Report(app, FWAPP_UPDATE_FAILED, 0);
    cmFwUpTransferEngineClose(app);  // no reset after a refused packet
    return;
  }
  // Packets accepted so far against the file's packets (the prefix makes it exceed 100 at times).
  const uint32_t percent =
      app->chunk_total ? static_cast<uint32_t>(uint64_t{app->chunk_count} * 100 / app->chunk_total) : 100;
  Report(app, FWAPP_UPDATE_PROGRESS, percent);
  cmPillUpdContinue(app, false);
}

void cmPillUpdOnEndRsp(PST_FWAPP_OBJ app, PST_CMBS_PARAM_BLOCK block) {
  if (!app) {
    cmbs_util_Trace(3, "cmPillUpdOnEndRsp ERROR: invalid PST_FWAPP_OBJ\n");
    return;
  }
  if (!cmFwUpTransferAccept(CMXX_EV_DSR_PILL_UPD_END_RES)) return;
  if (cmPillUpdGetResult(block) == 0) {
    cmbs_util_Trace(1, "PillUpdEnd-INFO: CMXX_EV_DSR_PILL_UPD_END successful.\n");
    Report(app, FWAPP_UPDATE_FINISHED, 0);
  } else {
    cmbs_util_Trace(3, "PillUpdEnd-ERROR: !!! CMXX_EV_DSR_PILL_UPD_END failed!\n");
    Report(app, FWAPP_UPDATE_FAILED, 0);
  }
  cmFwUpTransferEngineClose(app);
}

int cmPillUpdCommand(uint8_t port, const char* pill_path, uint8_t language) {
  PST_FWAPP_OBJ app = cmPillUpdInitialize(cmFwAppPortText(port).c_str());
  if (!app) return -1;  // the link did not come up: the command did not do what was asked

  cmFwAppPrintVersion(app, false);

  cmFwUpTransferBegin("PILL_Update");
  app->language = language;
  if (cmPillUpdStart(app, pill_path, 0, cmFwUpProgress) != 0) {
    std::printf("\n[ERROR]\tPILL Update was not started sucessfully!\n");
    cmFwUpTransferFinish(app);
    cmFwUpTransferEnd();
    return -1;
  }

  // A line lost (or a stop asked for) before the engine's callback was in place was reported to
  // nobody: the receive thread has ended, so no answer can come.
  if (cmFwAppLineGone()) cmFwUpTransferSignal(FWUP_FAILED);
  // From here the engine owns the session until it has closed it or the receive thread is stopped.
  if (cmFwUpTransferWait(cmFwAppWaitMs()) == FWUP_PENDING) cmReportSetReason(CM_REASON_NO_ANSWER);
  const int outcome = cmFwUpTransferFinish(app);
  cmFwUpTransferEnd();
  if (outcome == FWUP_FINISHED) {
    std::printf("\n");
    cmPrintRule();
    std::printf("\n");
    std::printf("\nPILL Update finished successfully\n");
    std::printf("\n");
    cmPrintRule();
    std::printf("\n");
    return 0;
  }
  std::printf("\n[ERROR]\tPILL Update could not be started!\n");
  return -1;
}
