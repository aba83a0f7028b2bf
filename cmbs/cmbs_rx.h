// The receive path: frame reassembly on the sync word and dispatch.
#pragma once

#include <cstddef>
#include <cstdint>

// Data-received notification: wakes the receive thread. Called on the port's own thread.
void cmbs_rx_Wake();
// Finds and dispatches every complete frame in buffer[0, count); moves what remains
// (a frame not yet complete) to the front and returns its count. Noise, frames with a
// length below 8 and frames too long for the receive buffer are skipped byte by byte.
// Stops dispatching once the link is being taken down.
size_t cmbs_rx_Parse(uint8_t* buffer, size_t count);
// Routes one frame: header points behind the sync word, length is its length field.
void cmbs_rx_Dispatch(uint8_t* header, uint16_t length);
