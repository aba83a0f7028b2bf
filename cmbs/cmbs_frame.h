// CMBS frame layout and the sender. Header fields are little-endian on the wire:
//   sync DA DA DA DA | length (8 + n) | packet_number (0) | event_id | param_length (n) | n bytes
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t CMBS_SYNC = 0xDADADADA;
constexpr size_t CMBS_HEADER_SIZE = 12;      // sync word and four 16-bit fields
constexpr size_t CMBS_RX_BUFFER_SIZE = 2052; // the largest frame the host takes in, sync included

// The four 16-bit fields behind the sync word.
struct ST_CMBS_FRAME_HEADER {
  uint16_t length;
  uint16_t packet_number;
  uint16_t event_id;
  uint16_t param_length;
};

// Sends one frame and returns 0; a write the port could not complete is lost without notice
// (cmbs_api_Flush tells whether every frame went).
// Safe from any thread: the frame's writes happen under the transmit lock.
int cmbs_frame_Send(uint16_t event_id, const uint8_t* params, uint16_t param_length);
int cmbs_event_Send(uint16_t event_id, const uint8_t* params, uint16_t param_length);
// Sends the internal event 0xFF00 | code.
int cmbs_internal_Send(uint8_t code, const uint8_t* params, uint16_t param_length);

uint16_t cmbs_util_Swap16(uint16_t value);
uint32_t cmbs_util_Swap32(uint32_t value);
// Byte-order mode of this host: 0, fields go to the wire as they lie in memory (little-endian).
int cmbs_util_HostByteOrder();
// Byte-swaps the four 16-bit header fields in place (byte-order mode 1).
void cmbs_frame_SwapHeader(uint8_t* header);

// Builds the 12-byte header of a frame into out (no lock, no I/O).
void cmbs_frame_BuildHeader(uint16_t event_id, uint16_t param_length, int byte_order, uint8_t out[CMBS_HEADER_SIZE]);
