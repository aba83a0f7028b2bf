// The update command: shows the target's version, runs the firmware update engine and waits
// for its outcome, and the progress display that the PILL update shares.
#include <cstdio>

#include "session/console_text.h"
#include "platform/console_out.h"
#include "session/service_record.h"
#include "session/wait.h"
#include "update/fwup.h"
#include "update/fwup_transfer.h"

namespace {

// Chunks reported written since "Update Start" (receive thread only).
int g_written_chunks = 0;

void PrintClosingLines() {
  std::printf("\n");
  cmPrintRule();
  std::printf("\n");
}

}  // namespace

void cmFwUpProgress(uint32_t, uint32_t code, uintptr_t) {
  switch (code) {
    case FWAPP_UPDATE_START:
      std::printf("Update Start\n");
      g_written_chunks = 0;
      break;
    case FWAPP_UPDATE_PROGRESS:
      ++g_written_chunks;
      cmReportSetBytes(uint64_t{static_cast<uint32_t>(g_written_chunks)} * FWUP_CHUNK_SIZE);
      std::printf("Writing: %3d Kb\r", static_cast<int>(int64_t{g_written_chunks} * FWUP_CHUNK_SIZE / 1024));
      break;
    case FWAPP_UPDATE_FINISHED:
      cmReportTransferComplete();
      cmFwUpTransferSignal(FWUP_FINISHED);
      return;
    case FWAPP_UPDATE_FAILED:
      cmReportSetReason(CM_REASON_REFUSED);
      cmFwUpTransferSignal(FWUP_FAILED);
      return;
    case FWAPP_LINE_GONE:
      // A refused step or a lost line ends the wait at once; the command reports it like a timeout.
      cmFwUpTransferSignal(FWUP_FAILED);
      return;
    default:
      return;
  }
  std::fflush(stdout);  // the counter overwrites itself on the console as it changes
}

int cmFwUpCommand(uint8_t port, const char* fw_path, ST_FWAPP_VERSION* shown, const char* current) {
  PST_FWAPP_OBJ app = cmFwAppInit(cmFwAppPortText(port).c_str());
  if (!app) {
    if (!cmFwAppOpenRefused())
      std::printf("\n[ERROR]\tTarget connectivity failed! Check COMPort is not used from other application\n");
    return -1;
  }

  const ST_FWAPP_VERSION version = cmFwAppPrintVersion(app, false);
  if (shown) *shown = version;

  if (!fw_path) {
    PrintClosingLines();
    std::printf("\nFW file not defined\n");
    PrintClosingLines();
    cmFwAppClose(app);
    return -1;
  }

  if (current && cmFwUpVersionIs(cmFwUpVersionText(version), current)) {
    cmFwAppClose(app);
    std::fflush(stdout);
    platform::PrintText(stderr, "halvern: the repeater reports %s already: not updated\n",
                        cmFwUpVersionText(version).c_str());
    std::fflush(stderr);
    return FWUP_SKIPPED;
  }

  cmFwUpTransferBegin("FW_Update");
  app->reset_after_end = 1;
  if (cmFwUpStart(app, fw_path, 0, cmFwUpProgress) != 0) {
    cmFwUpTransferFinish(app);
    cmFwUpTransferEnd();
    std::printf("\n[ERROR]\tFW Update was not sucessfully started!\n");
    PrintClosingLines();
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
    PrintClosingLines();
    std::printf("\nFW Update successfully finished\n");
    PrintClosingLines();
    return 0;
  }
  std::printf("\n[ERROR]\tFW Update was not successfully finished!\n");
  PrintClosingLines();
  return -1;
}
