// Firmware and PILL update: the response-driven transfer engines, the commands that run them
// with their progress display, and the offline date stamp of PILL files.
//
// Threads: the Start functions and the commands run on the command thread; the callbacks,
// answer handlers and Continue functions run on the receive thread, one answer at a time,
// and send each next request from there.
#pragma once

#include <cstdint>
#include <string>

#include "session/fwapp.h"

constexpr int FWUP_CHUNK_SIZE = 256;        // bytes of one firmware chunk or PILL packet
constexpr int PILL_PREFIX_SIZE = 8;         // language and file size in front of the first PILL packet
constexpr long PILL_STAMP_OFFSET = 28;      // where the date stamp lies in a PILL file
constexpr int PILL_STAMP_SIZE = 4;          // day, month, year within the century, language

// ---- Firmware update engine -------------------------------------------------------------

// Registers the answer handlers with the session, opens the image and sends its first chunk in
// the start request (after a 200 ms pause).
// Returns 0 when the start request went out, and also when the engine ended the transfer
// itself (empty file or failing first read, refused request: the session is then closed);
// -1 when the file cannot be opened (the session stays open for the caller).
int cmFwUpStart(PST_FWAPP_OBJ app, const char* path, uint32_t user_data, PFN_FWAPP_PROGRESS_CB progress_cb);
// Reads and sends the next chunk (progress code 3 once it is out), or the end request at the end of the file.
void cmFwUpContinue(PST_FWAPP_OBJ app);
// The result of the first IE_RESPONSE of an answer; 255 when it has none.
uint8_t cmFwUpGetResult(PST_CMBS_PARAM_BLOCK block);
// The answer handlers, which cmFwUpStart registers with the session before the start request.
void cmFwUpOnStartRsp(PST_FWAPP_OBJ app, PST_CMBS_PARAM_BLOCK block);
void cmFwUpOnNextRsp(PST_FWAPP_OBJ app, PST_CMBS_PARAM_BLOCK block);
void cmFwUpOnEndRsp(PST_FWAPP_OBJ app, PST_CMBS_PARAM_BLOCK block);

// ---- Firmware update command and the progress display shared with the PILL update --------

// Handler of the update command. Returns 0 when it did what was asked, -1 otherwise. The version
// shown before the transfer goes to *shown when given (untouched when the link did not come up).
// With current (xx.xx.xxxx, case aside): a repeater that reports that version already is left as
// it is (nothing more is sent, no restart) and FWUP_SKIPPED is returned.
constexpr int FWUP_SKIPPED = 1;
int cmFwUpCommand(uint8_t port, const char* fw_path, ST_FWAPP_VERSION* shown = nullptr, const char* current = nullptr);

// ---- Verifying an update: the repeater restarts and is asked its version again ------------

// What the last verification found.
struct FWUP_VERIFY_RESULT {
  int status = -1;            // 0: back, and with the version expected (when one was); or skipped
  std::string version_after;  // "xx.xx.xxxx" read after the restart; empty when none was read
  std::string message;        // why it failed; empty when it did not
  bool skipped = false;       // it reported the version expected already and was not updated
};

// An -expect value: two, two and four hexadecimal digits, "01.03.0400".
bool cmFwUpVersionTextValid(const char* text);
// True when version ("01.02.0345") is text, letter case aside.
bool cmFwUpVersionIs(const std::string& version, const char* text);
// The version as update shows it, in lower-case digits: "01.02.0345".
std::string cmFwUpVersionText(const ST_FWAPP_VERSION& version);
// update with -verify (and -expect VERSION, which may be null): the update as always; once it
// succeeded, waits for the repeater (the one with the same USB serial number, or on the same
// port when it has none) to go away and come back within cmFwAppWaitMs(), reads its version
// through a quiet link and prints "Verified: SW Version OLD -> NEW". A version other than the
// one expected, a repeater that stays or does not come back, or a stop request fails it.
// With skip_current, a repeater that reports the version expected before the update is not
// updated (0, skipped). Returns 0 or -1; cmFwUpLastVerify() tells what was found.
int cmFwUpVerifyCommand(uint8_t port, const char* usb_id, const char* fw_path, const char* expect,
                        bool skip_current = false);
// The outcome of the last cmFwUpVerifyCommand (its version_after is the run's version after).
const FWUP_VERIFY_RESULT& cmFwUpLastVerify();

// Progress callback of both transfers (receive thread): "Update Start" at code 2, the
// self-overwriting kilobyte counter at code 3; codes 4 and 5 end the command's wait.
void cmFwUpProgress(uint32_t user_data, uint32_t code, uintptr_t value);

// ---- PILL update --------------------------------------------------------------------------

// Handler of the pill_upd command. Returns 0 when it did what was asked, -1 otherwise.
int cmPillUpdCommand(uint8_t port, const char* pill_path, uint8_t language);

// Brings the link up with cmPillUpdCallBack as the callback. None when the link does not come up.
PST_FWAPP_OBJ cmPillUpdInitialize(const char* port_text);
// Opens the file and announces language (app->language) and size in the start request.
// 0 when the request went out (or the size could not be had: nothing is sent), -1 on failure.
int cmPillUpdStart(PST_FWAPP_OBJ app, const char* path, uint32_t user_data, PFN_FWAPP_PROGRESS_CB progress_cb);
// Sends the next packet (the first one carries the 8-byte prefix), or the end request.
void cmPillUpdContinue(PST_FWAPP_OBJ app, bool first);
// The callback registered for pill_upd in place of cmFwUpCallBack.
void cmPillUpdCallBack(void* app, uint32_t event_id, void* param);
void cmPillUpdOnStartRsp(PST_FWAPP_OBJ app, PST_CMBS_PARAM_BLOCK block);
void cmPillUpdOnNextRsp(PST_FWAPP_OBJ app, PST_CMBS_PARAM_BLOCK block);
void cmPillUpdOnEndRsp(PST_FWAPP_OBJ app, PST_CMBS_PARAM_BLOCK block);
uint8_t cmPillUpdGetResult(PST_CMBS_PARAM_BLOCK block);

// ---- PILL date stamp ----------------------------------------------------------------------

// Handler of the date2pill command. Returns 0 when it did what was asked, -1 otherwise.
int cmPillDateStamp(const char* date, const char* pill_path, uint8_t language);

// Checks a YYMMDD date and fills day, month and year of the stamp (stamp[0..2]); returns 1,
// or prints the reason and returns 0.
int cmPillDateParse(const char* date, uint8_t stamp[PILL_STAMP_SIZE]);
