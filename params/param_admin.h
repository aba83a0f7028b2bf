// Parameter area of the target: the exchange block shared by the params console and the
// settings-file commands, the result callback that turns the target's answers into output,
// and the small text readers both use.
//
// Threads: the command runs on the main thread; cmParamCallBack runs on the receive thread.
// The main thread fills the block and resets the completion event before a request goes out,
// the callback writes its output and signals the event after its last access; `mutex` keeps
// an answer that comes after its request timed out away from the next request's setup.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/event.h"

constexpr size_t ADMIN_PARAM_DATA_SIZE = 4096;

struct ST_ADMIN_PARAM {
  // A get answer is copied here by the session; bytes to be set are decoded here.
  // While a settings file is read, data starts with the line's prefix (prefix_length
  // characters), a NUL, and the answer at prefix_length + 1.
  uint8_t data[ADMIN_PARAM_DATA_SIZE];
  uint16_t typed_length;           // length typed at the console
  int32_t shown_count;             // bytes a successful get prints (or writes)
  int32_t prefix_length;           // only while out_file is open
  std::FILE* out_file;             // open only while param_get runs
  platform::Event* done_event;     // "Admin Param": signalled by the callback
  uint32_t last_code;              // code of the last answer (0 before it arrives)
  std::mutex mutex;                // guards the fields above against a late answer
};

extern ST_ADMIN_PARAM g_admin_param;

struct ST_FWAPP_OBJ;

// Waits for the answer to a request of the session app (rc: what sending it returned) for at
// most the answer wait. A read or write whose wait runs out is given up, so that its late answer
// cannot be taken for a later one's. True when the answer came, if only just as the wait ran out.
bool cmParamAwaitAnswer(ST_FWAPP_OBJ* app, int rc);

// The session's progress_cb for the parameter commands: codes 6 (get), 7 (set), 8 (failed).
void cmParamCallBack(uint32_t user_data, uint32_t code, uintptr_t value);

// Turns 2 x count characters into count bytes, high digit first. A character that is not a
// hexadecimal digit counts as 0; the text is never read past its NUL (missing digits are 0).
// Data for a set is first checked with cmParamHexRefusal, so only an array's last half byte
// ever takes such a 0.
void cmParamHexDecode(const char* text, size_t count, uint8_t* destination);

// Why text cannot be the data of a set that needs `digits` hexadecimal digits; empty when its
// first `digits` characters are all hexadecimal digits (what follows them is not looked at).
// Otherwise "too few digits (K of N)" when the data ends (NUL, newline or ";") before them,
// else "'DATA' is not hexadecimal" with the data up to its first ";" or line end.
std::string cmParamHexRefusal(const char* text, size_t digits);

// The decimal value of a text as atoi reads it (leading white space, a sign, digits; 0 without
// digits), kept modulo 2^32 so that no input overflows.
uint32_t cmParamDecimal(const char* text);

// Reads "0x" and one to four hexadecimal digits (either case) at text. Returns the position
// after the digits, or nullptr (value untouched) when the text is not in that form.
const char* cmParamReadHex(const char* text, uint16_t* value);

// The console's layout of a get: "%02X " per byte, a newline after every index that is a
// non-zero multiple of 16 (17 values on the first line, then 16).
std::string cmParamFormatValues(const uint8_t* bytes, size_t count);

// An output-file line: the prefix, "%02X" per byte, newline. Never truncated.
std::string cmParamComposeLine(const char* prefix, size_t prefix_length, const uint8_t* bytes, size_t count);
