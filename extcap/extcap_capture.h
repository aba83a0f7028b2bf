// A live capture: the tracer's event path feeding a pcap stream instead of (or besides) the
// trace file.
#pragma once

#include "extcap/extcap_args.h"

// Brings the link to the interface's repeater up, configures its logger, and writes every
// trace packet to the fifo as it arrives, until a stop request, the reader closing the fifo or
// the repeater going away; then switches the logger off and closes the link. Errors go to
// standard error. Returns 0 after a capture that ran until it was stopped, 1 otherwise.
int cmExtcapCapture(const ST_EXTCAP_OPTIONS& options);
