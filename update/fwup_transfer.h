// What the command thread and an update engine share while a transfer runs: the completion
// wait, the answer the engine awaits, and who closes the session. There is one link, so one
// transfer at a time per program.
//
// The engine runs on the receive thread, inside the answers' callbacks; the command starts it
// and then only waits. The wait is an inactivity timeout: every awaited answer re-arms it, so a
// long transfer is never cut off while the target keeps answering. The session is closed
// exactly once: by the engine after its last answer (or when it gives up), otherwise by the
// command, which first stops the receive thread so that the engine's last step (the system
// reset, the close) always runs to its end before the command goes on.
#pragma once

#include <cstdint>
#include <mutex>

#include "session/fwapp.h"

enum FWUP_OUTCOME : int {
  FWUP_PENDING = 0,  // nothing reported: no answer in time, or the engine stopped without a report
  FWUP_FINISHED,     // progress code 4: the target accepted the end of the transfer
  FWUP_FAILED,       // progress code 5: the target refused a step
  FWUP_STOPPED,      // the engine closed the session without a report (empty file, refused request)
};

// Command thread, before the start request: creates the named manual-reset completion event,
// non-signalled, clears the outcome and arms the inactivity timer.
void cmFwUpTransferBegin(const char* event_name);
// Command thread, once the session is closed: releases the completion event.
void cmFwUpTransferEnd();

// Engine, at the start of a transfer (before anything can close the session): the session is
// open and no answer is awaited yet.
void cmFwUpTransferEngineStart();
// Engine, right before a request goes out: the answer event it awaits (0: none). Re-arms the
// inactivity timer.
void cmFwUpTransferExpect(uint16_t answer_event);
// Engine, command thread: sends the start request with send() (which returns the encoder's
// result) and returns that result. Until send() has returned, the receive thread holds back the
// answer's handling, so that the engine never reuses the request's bytes while they go out.
std::mutex& cmFwUpTransferStartLock();
template <typename Send>
int cmFwUpTransferSendStart(uint16_t answer_event, Send send) {
  std::lock_guard<std::mutex> guard(cmFwUpTransferStartLock());
  cmFwUpTransferExpect(answer_event);
  return send();
}
// Engine, on an answer: true when it is the awaited one (it is then no longer awaited, and the
// inactivity timer is re-armed); false for an answer nobody asked for, which must be ignored.
bool cmFwUpTransferAccept(uint16_t answer_event);

// Any thread: the transfer's outcome. The first one counts; it ends the command's wait.
void cmFwUpTransferSignal(int outcome);

// Engine (either thread): closes the session with cmFwAppClose unless it is closed already,
// then ends the command's wait (FWUP_STOPPED, unless an outcome was reported before).
// The context no longer exists afterwards.
void cmFwUpTransferEngineClose(PST_FWAPP_OBJ app);

// Command thread: waits until an outcome is reported, the engine has closed the session, or no
// awaited answer has come for inactivity_ms. Returns the outcome so far (FWUP_PENDING: timed out).
int cmFwUpTransferWait(uint32_t inactivity_ms);

// Command thread, after the wait: stops the receive thread (the engine's callback in progress
// runs to its end first; none runs afterwards), then closes the session if the engine has not.
// Returns the final outcome. The context must not be used afterwards.
int cmFwUpTransferFinish(PST_FWAPP_OBJ app);
