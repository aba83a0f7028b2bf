// Firmware and PILL update: not yet in this build; the commands report failure.
#include <cstdio>

#include "app/commands.h"
#include "session/fwapp.h"

int cmFwUpCommand(uint8_t, const char* fw_path) {
  if (!fw_path) {
    std::printf("\nFW file not defined\n");
    return -1;
  }
  return -1;
}

int cmPillUpdCommand(uint8_t, const char*, uint8_t) { return -1; }
int cmPillDateStamp(const char*, const char*, uint8_t) { return -1; }

void cmFwUpOnStartRsp(PST_FWAPP_OBJ, PST_CMBS_PARAM_BLOCK) {}
void cmFwUpOnNextRsp(PST_FWAPP_OBJ, PST_CMBS_PARAM_BLOCK) {}
void cmFwUpOnEndRsp(PST_FWAPP_OBJ, PST_CMBS_PARAM_BLOCK) {}
