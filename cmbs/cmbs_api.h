// Bringing the CMBS link up and down, and the one application callback.
//
// Threads: cmbs_api_Init and cmbs_api_RegisterCallback run on the command thread.
// The callback runs on the receive thread, one event at a time. cmbs_api_Destroy may be
// called from the command thread (it waits for the receive thread to end) or from inside
// the callback on the receive thread (the thread then ends when the callback returns, and
// the next cmbs_api_Destroy or cmbs_api_Init from another thread waits for that). Either
// way no callback runs after cmbs_api_Destroy has returned.
#pragma once

#include <cstdint>

// Application callback: (context given at registration, event id, parameter block).
// The pointer is a PST_CMBS_PARAM_BLOCK, or for the raw-payload events the frame header
// behind the sync word. Valid only during the call. Called on the receive thread.
using PFN_CMBS_API_CB = void (*)(void* context, uint32_t event_id, void* param);

// Init block: device type (0 or 1) and a pointer to a value whose first byte is the COM port number.
struct ST_CMBS_INIT {
  int device_type;
  void* uart_config;
};

// Hello block: mode 3 sends a 5-byte hello built from the record (low bytes of the first
// three fields, the low 16 bits of the fourth); any other mode sends an empty hello.
struct ST_CMBS_HELLO {
  int mode;
  const int* record;  // four fields
};

// Returns 0 when the target answered the hello, 4 without an init block, 5 on any other
// failure (everything obtained is then released again).
int cmbs_api_Init(int unused, const ST_CMBS_INIT* init, const ST_CMBS_HELLO* hello);
// Returns the handle (the control block), or none when a callback is already registered.
void* cmbs_api_RegisterCallback(void* context, PFN_CMBS_API_CB callback, uint16_t value);
// Takes the link down; safe after a failed or partial init and when called twice. Returns 0.
int cmbs_api_Destroy();
// Called on the receive thread each time it has handed out every frame that one read from the
// port brought, so that a consumer of many small events can pass them on in one go and still
// never hold one back while the line is quiet. Null: none. Any thread, at any time.
using PFN_CMBS_RX_BURST_END = void (*)();
void cmbs_api_SetBurstEnd(PFN_CMBS_RX_BURST_END on_burst_end);

// The target identification from the hello reply (0 for fields the reply did not carry).
// True once the port has reported the line gone (device unplugged, other side closed) since the
// link came up; requests are then no longer written.
bool cmbs_api_LineGone();
// Waits (at most 4000 ms) until every frame sent since the link came up has left the PC.
// Returns 0 when each was written whole and has left; CMBS_RC_ERROR_SEND when one could not be
// written, or the line went (or the time ran out) while it waited to leave, or the link is down.
// A line that goes afterwards does not matter. Command thread.
int cmbs_api_Flush();
uint16_t cmbs_api_HelloWord0Get();
uint16_t cmbs_api_BuildGet();
uint16_t cmbs_api_ProductVersionGet();
uint16_t cmbs_api_HelloWord3Get();
uint8_t cmbs_api_TypeGet();
