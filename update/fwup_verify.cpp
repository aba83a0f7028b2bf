// Verifying an update: after its restart request the repeater goes away, comes back (found
// again by its USB serial number, or by its port when it has none) and is asked its version.
#include <cctype>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "session/comport_find.h"
#include "session/service_record.h"
#include "session/wait.h"
#include "update/fwup.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kLookEvery = std::chrono::milliseconds(50);   // how often the attached repeaters are walked
constexpr auto kOpenEvery = std::chrono::milliseconds(200);  // between tries to bring the link up

FWUP_VERIFY_RESULT g_last;

// The repeater in the list now, if it is there: the same serial number, or the same port for
// a repeater without one.
bool Find(const ST_REPEATER& wanted, const char* usb_id, ST_REPEATER* now) {
  for (const ST_REPEATER& r : cmComPortFindAll(usb_id)) {
    if (wanted.serial.empty() ? r.port == wanted.port : r.serial == wanted.serial) {
      *now = r;
      return true;
    }
  }
  return false;
}

std::string Seconds(uint32_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", ms / 1000.0);
  return text;
}

bool SameVersion(const std::string& a, const char* b) {
  if (a.size() != std::char_traits<char>::length(b)) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
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

FWUP_VERIFY_RESULT Verify(const ST_REPEATER& repeater, const char* usb_id, const std::string& before,
                          const char* expect) {
  std::fflush(stdout);  // the update's outcome is shown before the wait
  const uint32_t wait_ms = cmFwAppWaitMs();
  const auto deadline = Clock::now() + std::chrono::milliseconds(wait_ms);
  ST_REPEATER now;
  // It goes away: its entry goes with the restart.
  while (Find(repeater, usb_id, &now)) {
    if (cmFwAppStoppedBeforeOpen()) return Stopped();
    if (Clock::now() >= deadline) return Failed("The repeater did not restart within " + Seconds(wait_ms));
    std::this_thread::sleep_for(kLookEvery);
  }
  // It comes back: its entry may be incomplete and its port not openable for a while.
  ST_FWAPP_VERSION version{};
  for (;;) {
    if (cmFwAppStoppedBeforeOpen()) return Stopped();
    const bool back = Find(repeater, usb_id, &now);
    if (back) {
      if (PST_FWAPP_OBJ app = cmFwAppOpenQuiet(cmFwAppPortText(now.port).c_str())) {
        cmFwAppGetVersion(app, &version);
        cmFwAppClose(app);
        break;
      }
      if (cmFwAppOpenRefused()) return Stopped();  // the failed open has said so
    }
    if (Clock::now() >= deadline) return Failed("The repeater did not come back within " + Seconds(wait_ms));
    std::this_thread::sleep_for(back ? kOpenEvery : kLookEvery);
  }
  FWUP_VERIFY_RESULT result{0, cmFwUpVersionText(version), {}};
  std::printf("Verified: SW Version %s -> %s\n", before.c_str(), result.version_after.c_str());
  std::fflush(stdout);
  if (expect && !SameVersion(result.version_after, expect)) {
    FWUP_VERIFY_RESULT failed = Failed("Expected SW Version " + std::string(expect) + ", the repeater reports " +
                                       result.version_after, CM_REASON_VERSION_MISMATCH);
    failed.version_after = result.version_after;
    return failed;
  }
  return result;
}

}  // namespace

bool cmFwUpVersionTextValid(const char* text) {
  if (!text || std::char_traits<char>::length(text) != 10 || text[2] != '.' || text[5] != '.') return false;
  for (int i : {0, 1, 3, 4, 6, 7, 8, 9})
    if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  return true;
}

std::string cmFwUpVersionText(const ST_FWAPP_VERSION& version) {
  char text[16];
  std::snprintf(text, sizeof text, "%02x.%02x.%04x", version.product_version >> 8, version.product_version & 0xFF,
                version.build);
  return text;
}

int cmFwUpVerifyCommand(uint8_t port, const char* usb_id, const char* fw_path, const char* expect) {
  g_last = {};
  // Who it is must be known before the restart takes its entry away.
  ST_REPEATER repeater{port, {}, {}};
  for (const ST_REPEATER& r : cmComPortFindAll(usb_id))
    if (r.port == port) repeater = r;
  ST_FWAPP_VERSION before{};
  if (cmFwUpCommand(port, fw_path, &before) != 0) return -1;  // the update's own failure stands
  g_last = Verify(repeater, usb_id, cmFwUpVersionText(before), expect);
  return g_last.status;
}

const FWUP_VERIFY_RESULT& cmFwUpLastVerify() { return g_last; }
