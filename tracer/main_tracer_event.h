// Trace events, the trace file and the logger status display (module main_tracer_event).
//
// Each CMXX_EV_LOGGER_TRACE_IND is decoded into a trace message, which yields one packet (two
// when its flags ask for a second one cut out of the data). Each packet becomes a text record
// of hexadecimal byte lines, scrambled with the key "Q&Z" and appended to the trace file with
// one write. The key index runs on over the whole run, so the byte at file offset k is XORed
// with key byte k mod 3.
//
// Threads: the callback (decoding, writing, the status display) runs on the receive thread;
// the file is created and closed on the command thread. A lock keeps a record either wholly
// in the file or not in it at all when the file is closed, and nothing is written after.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "cmbs/cmbs_ie.h"
#include "session/fwapp.h"

constexpr int TRACE_DATA_SIZE = 256;
constexpr size_t TRACE_PACKET_MAX = TRACE_DATA_SIZE + 7;
constexpr size_t TRACE_RECORD_MAX = 869;  // the record of the longest packet
constexpr const char* TRACE_FILE_PREFIX = "cmbs_dect_tracer";
constexpr const char* TRACE_KEY = "Q&Z";

struct ST_TRACE_MSG {
  uint8_t src;
  uint8_t dst;
  uint8_t mid;
  uint8_t flags;    // 0x02: a second packet, placed by offsets; 0x01 and 0x04 shape its header
  uint8_t offsets;  // high nibble: where in data the second packet's length is; low nibble: where it starts
  uint8_t data[TRACE_DATA_SIZE];
  uint16_t nsize;   // valid bytes in data
};

// The session's event callback while the tracer runs.
void cmTracerCallBack(PST_FWAPP_OBJ app, uint16_t event_id, void* param);

// Creates cmbs_dect_tracer-D_M_YYYY__h_m_s.txt in dir (null or "": the current directory)
// unless a trace file is open: 0 (also when one is open), -1 when it cannot be created.
int cmTracerFileOpen(const char* dir = nullptr);
// The same with the trace file at path.
int cmTracerFileOpenAt(const char* path);

// Where each packet goes besides the trace file (a live capture): called on the receive thread,
// under the trace file's lock, for packet A and then packet B of every message, in arrival
// order. While a sink is set a message is taken even without a trace file. Null: none.
using PFN_TRACER_PACKET_SINK = void (*)(const uint8_t* packet, size_t length);
void cmTracerSetPacketSink(PFN_TRACER_PACKET_SINK sink);
// When a trace file is open: closes it and switches the target's logger off. Otherwise nothing.
void cmTracerFileClose();
bool cmTracerFileIsOpen();
// Whether a record since the trace file was opened did not reach it whole (a full disk).
bool cmTracerFileLost();
// Says on standard error that records did not reach the trace file, naming it.
void cmTracerTellLost();

// 0 when the block held a whole trace message, else -1 (the fields decoded so far are kept).
int cmTracerGetMessage(PST_CMBS_PARAM_BLOCK block, ST_TRACE_MSG* msg);
// Copies the content of an IE_DATA element into buffer (capacity bytes at most): 0, or -1.
int cmTracerGetData(const uint8_t* ie, uint8_t* buffer, uint16_t* length, uint16_t capacity);
// Writes the message's record or records to the trace file.
void cmTracerWriteMessage(const ST_TRACE_MSG* msg);
// Packet 0 (A) or 1 (B) of a message; none when memory is short. B never reaches past nsize.
std::unique_ptr<uint8_t[]> cmTracerBuildPacket(const ST_TRACE_MSG* msg, int packet, uint16_t* length);
// The record text of a packet: "BEGIN", lines of up to eight "%.2X " bytes each begun by
// CR LF, then "\r\nEND\r\n\r\n". out holds at least TRACE_RECORD_MAX bytes. Returns the length.
size_t cmTracerRenderRecord(const uint8_t* packet, size_t n, char* out);
// XORs the text in place with the key, from the current key index on, and advances the index.
void cmTracerScramble(char* text, size_t length);
// The key index: bytes scrambled so far in this run.
uint64_t cmTracerKeyIndex();
// Prints the logger status block of a CMXX_EV_LOGGER_STATUS_GET_RES.
void cmTracerPrintStatus(PST_CMBS_PARAM_BLOCK block);
