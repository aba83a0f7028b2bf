// version, reboot, power_off, fact_reset: open a session, do one thing, close it.
// None waits for an answer: the version comes from the hello reply.
#include <cstdio>

#include "app/cli.h"
#include "app/commands.h"
#include "cmbs/cmbs_dsr.h"
#include "session/fwapp.h"

namespace {

constexpr uint8_t kFactoryResetParam = 12;

// Opens the session on the port, runs step on it and closes it again.
template <typename Step>
int WithSession(uint8_t port, Step step) {
  char port_text[4];
  std::snprintf(port_text, sizeof port_text, "%d", port);
  PST_FWAPP_OBJ app = cmFwAppInit(port_text);
  if (!app) {
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
  return WithSession(port, [](PST_FWAPP_OBJ app) {
    ST_FWAPP_VERSION version;
    cmFwAppGetVersion(app, &version);
    std::printf("Product: SW Version %02x.%02x.%04x\n\n", version.product_version >> 8, version.product_version & 0xFF,
                version.build);
    cmPrintRule();
    std::printf("\n");
  });
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
