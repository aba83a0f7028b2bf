// version, reboot, power_off, fact_reset: open a session, do one thing, close it.
// None waits for an answer: the version comes from the hello reply. A request counts as done
// once it has left the PC; one that could not leave fails the command.
#include <cstdio>

#include "app/commands.h"
#include "cmbs/cmbs_dsr.h"
#include "session/console_text.h"
#include "session/fwapp.h"
#include "session/service_record.h"

namespace {

constexpr uint8_t kFactoryResetParam = 12;

// Opens the session on the port, runs step on it and closes it again. Returns -1 when the
// session does not open or step fails.
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
  ST_FWAPP_VERSION version{};
  cmFwAppGetVersion(app, &version);
  cmReportSetVersionBefore(version.product_version, version.build);
  const bool done = step(app);
  cmFwAppClose(app);
  return done ? 0 : -1;
}

// The one request of the command, which may make the target drop its line: done once it has
// left the PC, failed when it could not.
int WithFinalRequest(uint8_t port, int (*send)(void* api_handle)) {
  return WithSession(port, [send](PST_FWAPP_OBJ app) { return cmFwAppSendFinal(app, send); });
}

}  // namespace

int cmVersionCommand(uint8_t port) {
  return WithSession(port, [](PST_FWAPP_OBJ app) {
    cmFwAppPrintVersion(app, false);
    return true;
  });
}

int cmRebootCommand(uint8_t port) {
  return WithFinalRequest(port, [](void* handle) { return cmbs_dsr_sys_Reset(handle); });
}

int cmPowerOffCommand(uint8_t port) {
  return WithFinalRequest(port, [](void*) { return cmbs_dsr_sys_PowerOff(); });
}

int cmFactResetCommand(uint8_t port) {
  return WithFinalRequest(port, [](void* handle) {
    return cmbs_dsr_param_Set(handle, 0, kFactoryResetParam, nullptr, 0);
  });
}
