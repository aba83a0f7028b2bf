// version, reboot, power_off, fact_reset: open a session, do one thing, close it.
// None waits for an answer: the version comes from the hello reply.
#include <cstdio>

#include "app/commands.h"
#include "cmbs/cmbs_dsr.h"
#include "session/console_text.h"
#include "session/fwapp.h"

namespace {

constexpr uint8_t kFactoryResetParam = 12;

// Opens the session on the port, runs step on it and closes it again.
template <typename Step>
int WithSession(uint8_t port, Step step) {
  PST_FWAPP_OBJ app = cmFwAppInit(cmFwAppPortText(port).c_str());
  if (!app) {
    if (cmFwAppOpenRefused()) return -1;  // a stop came: the console has been told
    std::printf("\n[ERROR]\tTarget connectivity failed! Check COMPort is not used from other application\n");
    std::printf("\n");
    cmPrintRule();
    std::printf("\n");
    return -1;
  }
  step(app);
  cmFwAppClose(app);
  return 0;
}

}  // namespace

int cmVersionCommand(uint8_t port) {
  return WithSession(port, [](PST_FWAPP_OBJ app) { cmFwAppPrintVersion(app, false); });
}

int cmRebootCommand(uint8_t port) {
  return WithSession(port, [](PST_FWAPP_OBJ app) { cmbs_dsr_sys_Reset(app->api_handle); });
}

int cmPowerOffCommand(uint8_t port) {
  return WithSession(port, [](PST_FWAPP_OBJ) { cmbs_dsr_sys_PowerOff(); });
}

int cmFactResetCommand(uint8_t port) {
  return WithSession(port, [](PST_FWAPP_OBJ app) {
    cmbs_dsr_param_Set(app->api_handle, 0, kFactoryResetParam, nullptr, 0);
  });
}
