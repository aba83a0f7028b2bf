// Trace packets as pcap: the file header and one record per packet, little-endian, microsecond
// time stamps, link type 147 (DLT_USER0), packet A and packet B exactly as the trace file holds
// them, so that the dissector reads live and recorded captures alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr uint32_t TRACE_PCAP_LINK_TYPE = 147;
constexpr size_t TRACE_PCAP_HEADER_SIZE = 24;
constexpr size_t TRACE_PCAP_RECORD_HEADER_SIZE = 16;

std::string cmTracerPcapFileHeader();
// One record: the packet's bytes stamped seconds.micros (Unix time).
std::string cmTracerPcapPacket(const uint8_t* packet, size_t length, uint64_t seconds, uint32_t micros);
// The same record appended to out.
void cmTracerPcapAppendPacket(std::string& out, const uint8_t* packet, size_t length, uint64_t seconds,
                              uint32_t micros);
