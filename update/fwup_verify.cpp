// Verifying an update: after its restart request the repeater goes away, comes back (found
// again as the same unit: by its USB serial number, or where it is plugged in when it has none or
// shares it with another one attached) and is asked its version.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "platform/device_watch.h"
#include "platform/console_out.h"
#include "session/comport_find.h"
#include "session/service_record.h"
#include "session/repeater_identity.h"
#include "session/wait.h"
#include "update/fwup.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kLookEveryMs = 50;                             // how often the attached repeaters are walked
constexpr auto kOpenEvery = std::chrono::milliseconds(200);  // between tries to bring the link up

FWUP_VERIFY_RESULT g_last;

// The unit being verified: as it was listed before the update, and the key that tells it apart.
struct Unit {
  ST_REPEATER repeater;
  std::string key;
};

enum class Presence { kThere, kAway, kUnknown };

// Whether the unit is in the list now (*now: its entry). A list that cannot be read tells
// nothing: said on standard error once.
Presence Find(const Unit& unit, const char* usb_id, ST_REPEATER* now) {
  std::vector<ST_REPEATER> found;
  if (std::string error; !cmComPortListAll(usb_id, &found, &error)) {
    static bool told = false;
    if (!told) cmComPortTellListFailure(error);
    told = true;
    return Presence::kUnknown;
  }
  const std::vector<std::string> keys = cmRepeaterKeys(
      found, [&](const std::string& key) { return key == unit.key ? &unit.repeater : nullptr; });
  for (size_t i = 0; i < found.size(); ++i) {
    if (keys[i] != unit.key) continue;
    *now = found[i];
    return Presence::kThere;
  }
  return Presence::kAway;
}

// True when the watch saw the unit's device go since the last look.
bool SeenGoing(platform::DeviceWatch* watch, const Unit& unit) {
  const std::vector<std::string> removed = watch->TakeRemoved();
  return std::find(removed.begin(), removed.end(), unit.repeater.device) != removed.end();
}

std::string Seconds(uint32_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", ms / 1000.0);
  return text;
}

FWUP_VERIFY_RESULT Failed(const std::string& message, const char* reason = CM_REASON_NOT_BACK) {
  cmReportSetReason(reason);
  std::printf("[ERROR] %s\n", message.c_str());
  std::fflush(stdout);
  return {-1, {}, message};
}

// A stop asked for: told on the console once ("[ERROR] Stopped on request").
FWUP_VERIFY_RESULT Stopped() {
  cmReportSetReason(CM_REASON_INTERRUPTED);
  return {-1, {}, "Stopped on request"}; }

FWUP_VERIFY_RESULT Verify(const Unit& unit, platform::DeviceWatch* watch, const char* usb_id,
                          const std::string& before, const char* expect) {
  std::fflush(stdout);  // the update's outcome is shown before the wait
  cmReportSetStage("verifying");
  const uint32_t wait_ms = cmFwAppWaitMs();
  const auto deadline = Clock::now() + std::chrono::milliseconds(wait_ms);
  ST_REPEATER now;
  // It goes away: its entry goes with the restart. The device watch has kept its going, should
  // it be back already (a fast restart falls between two looks).
  for (;;) {
    if (cmFwAppStoppedBeforeOpen()) return Stopped();
    if (SeenGoing(watch, unit) || Find(unit, usb_id, &now) == Presence::kAway) break;
    if (Clock::now() >= deadline) return Failed("The repeater did not restart within " + Seconds(wait_ms));
    watch->Wait(kLookEveryMs);
  }
  // It comes back: its entry may be incomplete and its port not openable for a while (a node
  // just made may not be ours to open yet: the session tries again).
  cmFwAppRetryOpens(true);
  ST_FWAPP_VERSION version{};
  for (;;) {
    if (cmFwAppStoppedBeforeOpen()) return Stopped();
    const bool back = Find(unit, usb_id, &now) == Presence::kThere;
    if (back) {
      if (PST_FWAPP_OBJ app = cmFwAppOpenQuiet(cmFwAppPortText(now.port).c_str())) {
        cmFwAppGetVersion(app, &version);
        cmFwAppClose(app);
        break;
      }
      if (cmFwAppOpenRefused()) return Stopped();  // the failed open has said so
    }
    if (Clock::now() >= deadline) return Failed("The repeater did not come back within " + Seconds(wait_ms));
    std::this_thread::sleep_for(back ? kOpenEvery : std::chrono::milliseconds(kLookEveryMs));
  }
  FWUP_VERIFY_RESULT result{0, cmFwUpVersionText(version), {}};
  const bool as_expected = !expect || cmFwUpVersionIs(result.version_after, expect);
  // A version other than the one expected was not verified: the repeater only restarted.
  std::printf("%s: SW Version %s -> %s\n", as_expected ? "Verified" : "Restarted", before.c_str(),
              result.version_after.c_str());
  std::fflush(stdout);
  if (!expect && result.version_after == before) {
    platform::PrintText(stderr, "halvern: the repeater restarted with its version unchanged (%s)\n", before.c_str());
    std::fflush(stderr);
  }
  if (!as_expected) {
    FWUP_VERIFY_RESULT failed = Failed("Expected SW Version " + std::string(expect) + ", the repeater reports " +
                                       result.version_after, CM_REASON_VERSION_MISMATCH);
    failed.version_after = result.version_after;
    return failed;
  }
  return result;
}

}  // namespace

int cmFwUpVerifyCommand(uint8_t port, const char* usb_id, const char* fw_path, const char* expect,
                        bool skip_current) {
  g_last = {};
  // Who it is must be known before the restart takes its entry away, and its going is watched
  // for from before the restart request.
  platform::DeviceWatch watch;
  Unit unit;
  unit.repeater.port = port;
  unit.repeater.device = platform::PortDeviceName(port);
  unit.key = "port:" + std::to_string(port);
  std::vector<ST_REPEATER> found;
  if (std::string error; cmComPortListAll(usb_id, &found, &error)) {
    const std::vector<std::string> keys = cmRepeaterKeys(found, [](const std::string&) { return nullptr; });
    for (size_t i = 0; i < found.size(); ++i)
      if (found[i].port == port) unit = {found[i], keys[i]};
  }
  ST_FWAPP_VERSION before{};
  const int updated = cmFwUpCommand(port, fw_path, &before, skip_current ? expect : nullptr);
  if (updated == FWUP_SKIPPED) {
    g_last = {0, {}, {}, true};
    return 0;
  }
  if (updated != 0) return -1;  // the update's own failure stands
  g_last = Verify(unit, &watch, usb_id, cmFwUpVersionText(before), expect);
  return g_last.status;
}

const FWUP_VERIFY_RESULT& cmFwUpLastVerify() { return g_last; }
