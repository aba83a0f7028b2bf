// The application session: one per command. Opening it brings the link up on the
// device's COM port and registers the dispatcher cmFwUpCallBack; closing it takes the
// link down and frees the context.
//
// Threads: open, requests and (mostly) close run on the command thread; the dispatcher,
// the response handlers, progress_cb and event_cb run on the receive thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "cmbs/cmbs_api.h"
#include "cmbs/cmbs_ie.h"

struct ST_FWAPP_OBJ;
using PST_FWAPP_OBJ = ST_FWAPP_OBJ*;

// Result and progress callback: (user data, code, value). Called on the receive thread.
using PFN_FWAPP_PROGRESS_CB = void (*)(uint32_t user_data, uint32_t code, uintptr_t value);
// Events the dispatcher does not handle itself. Called on the receive thread.
using PFN_FWAPP_EVENT_CB = void (*)(PST_FWAPP_OBJ app, uint16_t event_id, void* param);

// progress_cb codes
enum FWAPP_PROGRESS : uint32_t {
  FWAPP_UPDATE_START = 2,
  FWAPP_UPDATE_PROGRESS = 3,
  FWAPP_UPDATE_FINISHED = 4,
  FWAPP_UPDATE_FAILED = 5,
  FWAPP_PARAM_GET_OK = 6,
  FWAPP_PARAM_SET_OK = 7,
  FWAPP_PARAM_FAILED = 8,
  FWAPP_LINE_GONE = 9,  // the line to the target is gone: nothing more will be answered
};

constexpr int FWAPP_PACKET_SIZE = 256;

struct ST_FWAPP_OBJ {
  void* api_handle;
  uint32_t user_data;                  // with progress_cb: set before the dispatcher is registered,
  PFN_FWAPP_PROGRESS_CB progress_cb;   // or before the request whose answers report to it goes out
  std::atomic<PFN_FWAPP_EVENT_CB> event_cb;  // installed at any time while the receive thread runs
  uint8_t port_number;
  uint32_t init_type;
  uint8_t* init_port;
  std::FILE* file_handle;
  uint32_t chunk_count;
  uint32_t chunk_total;
  uint32_t reset_after_end;
  uint8_t packet[FWAPP_PACKET_SIZE];
  // The parameter-area read in progress. The command thread starts and gives it up, the receive
  // thread completes it; get_mutex covers the record, the copy into get_buffer and the report
  // of the result, so a read given up is never written afterwards. Recursive: the report may
  // start the next read.
  std::recursive_mutex get_mutex;
  bool get_pending;          // sent, and neither answered nor given up
  uint8_t* get_buffer;
  uint16_t get_buffer_size;  // the length asked for: an accepted answer carries exactly these bytes
  uint16_t get_address;      // address of the read in progress: an answer for another one is stale
  // The write in progress, under get_mutex too. A write answer names nothing, so after a write
  // was given up its late answer is told apart by counting: the next write answer is its own.
  bool set_pending;
  uint32_t stale_set_answers;
  uint8_t language;
  uint32_t file_size;
};

struct ST_FWAPP_VERSION {
  uint16_t product_version;
  uint16_t build;
  uint16_t type;
};

PST_FWAPP_OBJ cmFwAppInit(const char* port_text);
PST_FWAPP_OBJ cmFwAppOpen(const char* port_text, uint32_t user_data, PFN_FWAPP_PROGRESS_CB progress_cb);
// As cmFwAppInit, but a link that does not come up is not reported on the console.
PST_FWAPP_OBJ cmFwAppOpenQuiet(const char* port_text);
int cmFwAppSetEventCallback(PST_FWAPP_OBJ app, PFN_FWAPP_EVENT_CB event_cb);
void cmFwAppGetVersion(PST_FWAPP_OBJ app, ST_FWAPP_VERSION* version);
// Sends a parameter-area read; the data of the answer lands in destination (length bytes).
// Answers carry no request number: only an accepted answer that names this offset and holds
// exactly length bytes completes the read (code 6); a refusal, or an answer without the read's
// data, completes it as failed (code 8) whatever address it names; any other answer is taken
// for the late answer to an earlier read and ignored. A read that could not be sent is not pending.
int cmFwAppParamGet(PST_FWAPP_OBJ app, uint16_t offset, uint16_t length, uint8_t* destination);
// Gives up the read or write in progress (its wait ran out): a late answer to it is ignored from
// then on. True when it was still pending; false when its result has already been reported
// (it came just as the wait ran out) or nothing is out.
bool cmFwAppParamCancel(PST_FWAPP_OBJ app);
// Sends a parameter-area write; only the answer to it is reported (after a write was given up,
// the next write answer is taken as that one's late answer and ignored: a later write may then
// fail for want of its answer, but a write is never reported done on another one's answer).
int cmFwAppParamSet(PST_FWAPP_OBJ app, uint16_t offset, uint16_t length, const uint8_t* data);
// The port number as the decimal text a session is opened with ("%d" of its low 8 bits).
std::string cmFwAppPortText(uint8_t port);
// Fills the version record and prints the version block: "Product: SW Version vv.vv.bbbb\n\n",
// the rule of 79 '=' and "\n". The parameter and log commands show upper-case digits, the others lower-case.
ST_FWAPP_VERSION cmFwAppPrintVersion(PST_FWAPP_OBJ app, bool upper_case);
// Takes the link down, closes the transfer file, frees the context.
void cmFwAppClose(PST_FWAPP_OBJ app);

void cmFwUpCallBack(void* app, uint32_t event_id, void* param);
void cmFwAppOnParamGetRsp(PST_FWAPP_OBJ app, PST_CMBS_PARAM_BLOCK block);
void cmFwAppOnParamSetRsp(PST_FWAPP_OBJ app, PST_CMBS_PARAM_BLOCK block);
// The line to the target is gone (CMBS_EV_INT_LINE_GONE): tells the user once, then the command
// through progress_cb (FWAPP_LINE_GONE) and event_cb (CMBS_EV_INT_LINE_GONE). Receive thread.
void cmFwAppOnLineGone(PST_FWAPP_OBJ app);
// True once the line to the target is gone and that has been reported (cmFwAppOnLineGone has
// run): a command sends nothing more and ends.
bool cmFwAppLineGone();
// Any thread, once a stop was asked for (Ctrl-C, a hang-up, the run that started this one
// gone): the command ends like one whose line is gone, with its own message instead of the
// disconnection one; the link is then closed as usual, after the frame being written. A
// session opened later is refused.
void cmFwAppRequestStop();
// Any thread, once a console was asked to stop: it quits as on its quit key, so its link
// stays up for what quitting sends; only a session opened later is refused.
void cmFwAppRefuseOpen();
// Before and right after the link comes up: true, after "\n[ERROR] Stopped on request\n" on
// the console, when a stop came and so the session must not be opened (or used).
bool cmFwAppStoppedBeforeOpen();
// True once a stop came: a session that did not open was refused for it, and the console has
// been told so; the command adds no failure of its own.
bool cmFwAppOpenRefused();

// The session's debug trace: level 1 information, 2 and 3 errors. It discards everything.
void cmbs_util_Trace(int level, const char* format, ...);

// Firmware update response handlers (the update engine).
void cmFwUpOnStartRsp(PST_FWAPP_OBJ app, PST_CMBS_PARAM_BLOCK block);
void cmFwUpOnNextRsp(PST_FWAPP_OBJ app, PST_CMBS_PARAM_BLOCK block);
void cmFwUpOnEndRsp(PST_FWAPP_OBJ app, PST_CMBS_PARAM_BLOCK block);
