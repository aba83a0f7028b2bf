// halvern-extcap's command line and the texts a packet viewer asks for before a capture: the
// interfaces (one per attached repeater), their link type and their capture options.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "session/comport_find.h"

enum class EXTCAP_MODE { kNone, kInterfaces, kDlts, kConfig, kCapture, kHelp, kVersion };

struct ST_EXTCAP_OPTIONS {
  EXTCAP_MODE mode = EXTCAP_MODE::kNone;
  std::string interface;   // --extcap-interface
  std::string fifo;        // --fifo: where the pcap stream goes
  std::string logger;      // --logger: a logger command as a -tfile line holds it ("a" when empty)
  std::string trace_file;  // --trace-file: also write the scrambled trace file there
};

constexpr uint32_t EXTCAP_DLT = 147;

// Reads the command line; false (error says why) on an option it does not know or a missing value.
// Options the viewer passes that this program has no use for (a capture filter, control pipes,
// debug settings, the viewer's version) are taken and ignored.
bool cmExtcapParse(int argc, const char* const* argv, ST_EXTCAP_OPTIONS* options, std::string* error);

// The interface of the repeater on a COM port, and back: 0 when name is not one of ours.
std::string cmExtcapInterfaceName(uint8_t port);
uint8_t cmExtcapInterfacePort(const std::string& name);

// The answers to --extcap-interfaces, --extcap-dlts and --extcap-config, line ends included.
std::string cmExtcapInterfaces(const std::vector<ST_REPEATER>& repeaters);
std::string cmExtcapDlts(const std::string& interface);
std::string cmExtcapConfig();
std::string cmExtcapUsage();
