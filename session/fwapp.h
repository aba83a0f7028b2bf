// The application session: one per command. Opening it brings the link up on the
// device's COM port and registers the dispatcher cmFwUpCallBack; closing it takes the
// link down and frees the context. The session handles the parameter-area answers and the
// loss of the line itself; a command hands it the handlers of the other answers it awaits
// (cmFwAppSetResponseHandler) and gets every remaining event through event_cb, so the
// session knows none of the commands above it.
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
// The handler of one answer event, registered by the command that awaits it. Receive thread.
using PFN_FWAPP_RESPONSE_CB = void (*)(PST_FWAPP_OBJ app, PST_CMBS_PARAM_BLOCK block);

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
constexpr int FWAPP_RESPONSE_HANDLERS = 4;  // answer events a command may hand handlers for

constexpr uint32_t FWAPP_FENCES = 8;  // fences out at once; more are not sent
constexpr uint32_t FWAPP_GIVEN_UP = 8;  // reads given up that are remembered; the oldest goes first

// A read that went out: its address and the byte count asked for.
struct ST_FWAPP_READ {
  uint16_t address;
  uint16_t count;
};

// A read sent after a write was given up; see ST_FWAPP_OBJ.
struct ST_FWAPP_FENCE {
  uint16_t address;
  uint16_t count;
  uint32_t covers;  // the writes sent before it: 1 to covers
};

// One registered answer handler: the event id is written before the handler is published.
struct ST_FWAPP_RESPONSE {
  uint16_t event_id;
  std::atomic<PFN_FWAPP_RESPONSE_CB> handler;
};

struct ST_FWAPP_OBJ {
  void* api_handle;
  uint32_t user_data;                  // with progress_cb: set before the dispatcher is registered,
  PFN_FWAPP_PROGRESS_CB progress_cb;   // or before the request whose answers report to it goes out
  std::atomic<PFN_FWAPP_EVENT_CB> event_cb;  // installed at any time while the receive thread runs
  ST_FWAPP_RESPONSE responses[FWAPP_RESPONSE_HANDLERS];  // command thread adds, receive thread reads
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
  uint16_t get_buffer_size;  // the length asked for: no more bytes than these are copied
  uint16_t get_address;      // address of the read in progress: an answer for another one is stale
  // Reads given up whose answers have not come, oldest first. Such an answer may still come
  // while a later read of the same address waits: one that names the address and byte count of
  // a read given up is that read's, unless it fits the read in progress just as well.
  ST_FWAPP_READ given_up[FWAPP_GIVEN_UP];
  uint32_t given_up_count;
  // The last read answered with another byte count than asked: (address, asked, answered),
  // until it is taken (cmFwAppTakeReadNote) or the next request goes out.
  bool size_note;
  ST_FWAPP_READ note_read;
  uint16_t note_answered;
  // The writes, under get_mutex too. A write answer names nothing, but the target answers in
  // the order of the requests: the next write answer belongs to the oldest write not settled
  // yet (answered, or known never to be answered). Writes are numbered from 1 as they go out.
  bool set_pending;       // the last write sent is neither answered nor given up
  uint16_t set_address;   // its address
  uint32_t sets_sent;     // number of the last write sent
  uint32_t sets_settled;  // every write up to this number is answered or never will be
  // After a write was given up, a read of its address goes out as a fence: once the fence's
  // answer (which names its address and byte count) is in, every write before it is settled.
  // Fences in the order sent; one whose answer is lost too is settled by a later one.
  ST_FWAPP_FENCE fences[FWAPP_FENCES];
  uint32_t fence_count;  // fences out
  uint32_t fences_sent;  // alternates their byte count, so that consecutive fences differ
  uint8_t language;
  uint32_t file_size;
  std::atomic<bool> line_loss_quiet;  // set by cmFwAppSendFinal: the line going is no news
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
// Hands the answers with this event id to handler, from the next one on (register before the
// request whose answer it awaits goes out). Registering an event again replaces its handler.
// 0, or -1 when the context is none, the handler is none, or FWAPP_RESPONSE_HANDLERS events
// already have one. Command thread.
int cmFwAppSetResponseHandler(PST_FWAPP_OBJ app, uint16_t event_id, PFN_FWAPP_RESPONSE_CB handler);
void cmFwAppGetVersion(PST_FWAPP_OBJ app, ST_FWAPP_VERSION* version);
// Sends a parameter-area read; the data of the answer lands in destination (length bytes).
// Answers carry no request number: an accepted answer that names this offset is the read's.
// With length bytes or more it completes the read (code 6), the first length bytes landing in
// destination; with fewer it fails it (code 8), as a target that cuts the read short at the end
// of its area answers. A refusal, or an answer without the read's data, fails the read whatever
// address it names. An answer for another offset is the late answer to an earlier read and is
// ignored, and so is one that fits a read given up (its offset and byte count, or its offset for
// a refusal) but not this one. Answers of another byte count leave a note (cmFwAppTakeReadNote).
// A read that could not be sent is not pending.
int cmFwAppParamGet(PST_FWAPP_OBJ app, uint16_t offset, uint16_t length, uint8_t* destination);
// After a read was answered: when its answer carried another byte count than asked, the line
// that says so ("0x0010: the repeater answered 2 of 4 bytes", with ": the first 4 are used"
// when it carried more), once; empty otherwise. Command thread, once the answer was reported.
std::string cmFwAppTakeReadNote(PST_FWAPP_OBJ app);
// Gives up the read or write in progress (its wait ran out): a late answer to it is ignored from
// then on (a read given up is remembered until its answer comes; see ST_FWAPP_OBJ). True when it was still pending; false when its result has already been reported
// (it came just as the wait ran out) or nothing is out. A write given up is followed by a fence:
// a read of one or two bytes at its address, whose answer is taken by the session itself.
bool cmFwAppParamCancel(PST_FWAPP_OBJ app);
// Sends a parameter-area write; only the answer to it is reported. Write answers that come
// for writes given up are dropped, up to the answer to the fence sent after them; a write is
// never reported done on another one's answer. (Should a fence's answer be lost too, a later
// write may fail for want of its answer until a later fence is answered.)
int cmFwAppParamSet(PST_FWAPP_OBJ app, uint16_t offset, uint16_t length, const uint8_t* data);
// True when the last session could not be opened because another program holds its port.
bool cmFwAppPortInUse();
// From now on (on) a session whose port cannot be opened yet (its device node missing or not
// accessible yet, as right after a plug-in, or the port held by another program) tries again
// until cmFwAppOpenRetryMs() have passed or a stop came, before its link counts as failed. For
// the children of a station and the re-open after a restart; other runs fail at once.
void cmFwAppRetryOpens(bool on);
// Brings the link up as cmbs_api_Init does, with the retries above when they are switched on.
int cmFwAppInitLink(const ST_CMBS_INIT* init);
// True when a session of this process failed because its port could not be opened and no
// session of this process ever had it open: the service never reached the repeater.
bool cmFwAppPortNeverOpened();
// After a session failed to open: when another program holds the port, says so in one line on
// standard error ("halvern: COM1 (/dev/ttyACM0) is in use by another program"); with retries on,
// a port that stayed inaccessible says why ("... could not be opened within 3 s: Permission denied").
// Without retries, a port whose device is not there says so ("halvern: COM5 (/dev/ttyACM0) is
// listed but missing").
void cmFwAppTellPortInUse(uint8_t port);
// The last line alone: for a listing, which shows a port that does not answer as one row.
void cmFwAppTellPortMissing(uint8_t port);
// Sends a request after which the target may drop its line (a restart, a switch-off): send
// writes it (handed the registration handle). Returns true when it was written whole and has
// left the PC; the line going after that is no news and is not reported. False when it could
// not leave: the line's loss (or a stop asked for) is then reported, once, as usual.
bool cmFwAppSendFinal(PST_FWAPP_OBJ app, int (*send)(void* api_handle));
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
