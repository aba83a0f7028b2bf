// The receive path: frame reassembly on the sync word and dispatch.
#pragma once

#include <cstddef>
#include <cstdint>

// Data-received notification: wakes the receive thread. Called on the port's own thread.
void cmbs_rx_Wake();
// Line-gone notification (device unplugged, other side closed): the receive thread takes what is
// still queued, tells the application once (CMBS_EV_INT_LINE_GONE) and ends; a link start-up in
// progress fails at once. Called on the port's own thread.
void cmbs_rx_LineGone();
// The serial port's notification (given to cmbs_uart_Open): SERIAL_LINE_GONE goes to
// cmbs_rx_LineGone, any other notice to cmbs_rx_Wake. Called on the port's own thread.
void cmbs_rx_Notice(uint32_t notice);
// Any thread, at any time, even while the link is taken down: the link ends as if the line were
// gone, noticed by the receive thread within its poll period. It touches no event, so it never
// meets one being released.
void cmbs_rx_EndSoon();
// Finds and dispatches every complete frame in buffer[0, count); moves what remains
// (a frame not yet complete) to the front and returns its count. Noise, frames with a
// length below 8 and frames too long for the receive buffer are skipped byte by byte.
// Stops dispatching once the link is being taken down.
size_t cmbs_rx_Parse(uint8_t* buffer, size_t count);
// Routes one frame: header points behind the sync word, length is its length field.
void cmbs_rx_Dispatch(uint8_t* header, uint16_t length);
