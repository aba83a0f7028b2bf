// What halvern-trace makes of the records: one line of text each, or pcap packets.
#pragma once

#include <cstdint>
#include <string>

#include "trace_reader/trace_reader.h"
#include "tracer/tracer_pcap.h"

namespace trace_reader {

// Link type of the pcap file: DLT_USER0, one trace packet (header and data) per frame.
constexpr uint32_t kPcapLinkType = TRACE_PCAP_LINK_TYPE;

// One line, newline included:
//   "     1 first  dst=2   src=1   mid=83  MID_IWU_CC_SETUP                 len=3   01 02 03"
std::string FormatRecord(const Record& record, const std::string& mid_name);

// The pcap file header: microsecond timestamps, snap length 65535, link type 147,
// little-endian.
std::string PcapFileHeader();
// One pcap packet: the record's packet bytes, stamped `seconds` (the trace file's
// modification time) plus as many microseconds as the record's number, so the records keep
// their order.
std::string PcapPacket(const Record& record, int64_t seconds);

}  // namespace trace_reader
