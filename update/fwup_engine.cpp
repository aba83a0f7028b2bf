// The firmware update engine. The image goes to the target in 256-byte chunks, one in flight:
// the start request carries the first chunk, and each accepted answer makes the engine send
// the next chunk from inside the answer's callback on the receive thread. An end request
// follows the last chunk; after its answer the engine asks the target to restart (when the
// command wants it) and closes the session.
#include <chrono>
#include <cerrno>
#include <thread>

#include "cmbs/cmbs_dsr.h"
#include "cmbs/cmbs_event.h"
#include "session/console_text.h"
#include "session/service_record.h"
#include "update/fwup.h"
#include "update/fwup_transfer.h"
#include "update/update_file.h"

namespace {

constexpr auto kStartPause = std::chrono::milliseconds(200);

void Report(PST_FWAPP_OBJ app, uint32_t code, uintptr_t value) {
  if (app->progress_cb) app->progress_cb(app->user_data, code, value);
}

// Chunks so far as a percentage of all chunks, in whole numbers.
uint32_t Percent(uint32_t count, uint32_t total) {
  return total ? static_cast<uint32_t>(uint64_t{count} * 100 / total) : 0;
}

}  // namespace

uint8_t cmFwUpGetResult(PST_CMBS_PARAM_BLOCK block) {
  uint8_t* ie = nullptr;
  uint16_t type = 0;
  for (cmbs_ie_GetFirst(block, &ie, &type); ie; cmbs_ie_GetNext(block, &ie, &type)) {
    if (type == IE_RESPONSE) {
      uint32_t result = 255;
      cmbs_ie_GetResponse(ie, &result);
      return static_cast<uint8_t>(result);
    }
  }
  return 255;
}

int cmFwUpStart(PST_FWAPP_OBJ app, const char* path, uint32_t user_data, PFN_FWAPP_PROGRESS_CB progress_cb) {
  if (!app) return 0;
  cmFwUpTransferEngineStart();
  // The session passes the engine's answers on only to the handlers it was given.
  cmFwAppSetResponseHandler(app, CMBS_EV_DSR_FW_UPD_START_RES, cmFwUpOnStartRsp);
  cmFwAppSetResponseHandler(app, CMBS_EV_DSR_FW_UPD_PACKETNEXT_RES, cmFwUpOnNextRsp);
  cmFwAppSetResponseHandler(app, CMBS_EV_DSR_FW_UPD_END_RES, cmFwUpOnEndRsp);
  app->progress_cb = progress_cb;
  app->user_data = user_data;
  std::this_thread::sleep_for(kStartPause);

  int error = 0;
  std::FILE* file = cmUpdFileOpenRead(path, &error);
  if (!file) {
    cmbs_util_Trace(2, "cmFwUpStart ERROR: Unable to open file %s --> %d\n", path ? path : "", error);
    cmTellCannotOpen(path, error);
    return -1;
  }
  app->file_handle = file;
  uint64_t size = 0;
  const bool sized = cmUpdFileSize(file, &size);
  cmUpdImageLoad(file);  // every chunk comes from these bytes
  if (sized && cmUpdImageWhole()) size = cmUpdImageSize();
  app->chunk_total = static_cast<uint32_t>(size) / FWUP_CHUNK_SIZE + 1;

  bool failed = false;
  errno = 0;
  const size_t n = cmUpdImageRead(app->packet, FWUP_CHUNK_SIZE, &failed);
  if (n == 0) {
    cmbs_util_Trace(2, "cmFwUpStart ERROR: Couldn't read file\n");
    // Nothing goes out either way; the user is told which of the two it was.
    if (failed || !sized)
      cmTellCannotRead(path, errno);
    else
      cmTell("'%s' is empty: there is no firmware image to send", path);
    cmReportSetReason(CM_REASON_FILE);
    cmFwUpTransferEngineClose(app);
    return 0;
  }
  app->chunk_count = 1;
  cmbs_util_Trace(1, "cmFwUpStart chunk %4d/%d %d bytes\n", 1, app->chunk_total, static_cast<int>(n));
  // Once the request is out, its answer may be handled on the receive thread at any moment:
  // only locals after the send.
  const int rc = cmFwUpTransferSendStart(CMBS_EV_DSR_FW_UPD_START_RES, [&] {
    return cmbs_dsr_fw_UpdateStart(app->api_handle, app->packet, static_cast<uint16_t>(n));
  });
  if (rc != 0) {
    cmbs_util_Trace(2, "cmFwUpStart ERROR: cmbs_dsr_fw_UpdateStart has returned %d\n", rc);
    cmFwUpTransferEngineClose(app);
  }
  return 0;
}

void cmFwUpContinue(PST_FWAPP_OBJ app) {
  if (!app) {
    cmbs_util_Trace(2, "cmFwUpContinue ERROR: invalid PST_FWAPP_OBJ\n");
    return;
  }
  bool failed = false;
  errno = 0;
  const size_t n = cmUpdImageRead(app->packet, FWUP_CHUNK_SIZE, &failed);
  if (failed) {
    // Nothing more is sent: the transfer stops, and the command's wait runs out.
    cmbs_util_Trace(2, "cmFwUpContinue ERROR: ReadFile failed\n");
    cmbs_util_Trace(2, "cmFwUpContinue ERROR: 0x%04X\n", errno);
    return;
  }
  if (n == 0) {
    // End of the image. The file stays open until the session is closed.
    cmFwUpTransferExpect(CMBS_EV_DSR_FW_UPD_END_RES);
    cmbs_dsr_fw_UpdateEnd(app->api_handle, nullptr, 0);
    return;
  }
  ++app->chunk_count;
  cmbs_util_Trace(1, "cmFwUpContinue chunk %4d/%d %d bytes\n", app->chunk_count, app->chunk_total,
                  static_cast<int>(n));
  cmFwUpTransferExpect(CMBS_EV_DSR_FW_UPD_PACKETNEXT_RES);
  const int rc = cmbs_dsr_fw_UpdatePacketNext(app->api_handle, app->packet, static_cast<uint16_t>(n));
  if (rc != 0) {
    cmbs_util_Trace(2, "_cmFwUpContinue ERROR: cmbs_dsr_fw_UpdatePacketNext has returned %d\n", rc);
    cmFwUpTransferEngineClose(app);
    return;
  }
  Report(app, FWAPP_UPDATE_PROGRESS, Percent(app->chunk_count, app->chunk_total));
}

void cmFwUpOnStartRsp(PST_FWAPP_OBJ app, PST_CMBS_PARAM_BLOCK block) {
  if (!app) {
    cmbs_util_Trace(2, "cmFwUpOnStartRsp ERROR: invalid PST_FWAPP_OBJ\n");
    return;
  }
  if (!cmFwUpTransferAccept(CMBS_EV_DSR_FW_UPD_START_RES)) {
    cmbs_util_Trace(2, "cmFwUpOnStartRsp: answer not awaited, ignored\n");
    return;
  }
  if (cmFwUpGetResult(block) == 0) {
    Report(app, FWAPP_UPDATE_START, 0);
    cmFwUpContinue(app);
    return;
  }
  cmbs_util_Trace(2, "cmFwUpOnStartRsp ERROR: CMBS_EV_DSR_FW_UPD_START failed on target\n");
  Report(app, FWAPP_UPDATE_FAILED, 0);
  cmReportRestartRequested();
  cmbs_dsr_sys_Reset(app->api_handle);  // always after a refused start
  cmFwUpTransferEngineClose(app);
}

void cmFwUpOnNextRsp(PST_FWAPP_OBJ app, PST_CMBS_PARAM_BLOCK block) {
  if (!app) {
    cmbs_util_Trace(2, "cmFwUpOnNextRsp ERROR: invalid PST_FWAPP_OBJ\n");
    return;
  }
  if (!cmFwUpTransferAccept(CMBS_EV_DSR_FW_UPD_PACKETNEXT_RES)) {
    cmbs_util_Trace(2, "cmFwUpOnNextRsp: answer not awaited, ignored\n");
    return;
  }
  if (cmFwUpGetResult(block) == 0) {
    cmFwUpContinue(app);  // progress is reported once the next chunk is out
    return;
  }
  cmbs_util_Trace(2, "cmFwUpOnNextRsp ERROR: CMBS_EV_DSR_FW_UPD_PACKETNEXT failed on target\n");
  Report(app, FWAPP_UPDATE_FAILED, 0);
  cmFwUpTransferEngineClose(app);  // no reset after a refused chunk
}

void cmFwUpOnEndRsp(PST_FWAPP_OBJ app, PST_CMBS_PARAM_BLOCK block) {
  if (!app) {
    cmbs_util_Trace(2, "cmFwUpOnEndRsp ERROR: invalid PST_FWAPP_OBJ\n");
    return;
  }
  if (!cmFwUpTransferAccept(CMBS_EV_DSR_FW_UPD_END_RES)) {
    cmbs_util_Trace(2, "cmFwUpOnEndRsp: answer not awaited, ignored\n");
    return;
  }
  if (cmFwUpGetResult(block) == 0) {
    cmbs_util_Trace(1, "cmFwUp: CMBS_EV_DSR_FW_UPD_END successful. Please reset target\n");
    Report(app, FWAPP_UPDATE_FINISHED, 0);
  } else {
    cmbs_util_Trace(2, "cmFwUpOnEndRsp ERROR: CMBS_EV_DSR_FW_UPD_END failed!\nPlease reset target and try update again\n");
    Report(app, FWAPP_UPDATE_FAILED, 0);
  }
  if (app->reset_after_end) {
    cmReportRestartRequested();
    cmbs_dsr_sys_Reset(app->api_handle);
  }
  cmFwUpTransferEngineClose(app);
}
