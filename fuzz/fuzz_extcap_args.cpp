// Treats the input as halvern-extcap's command line (arguments separated by NUL bytes), as the
// packet viewer or a user may give it: parsing never reads past an argument, and what it takes
// as an interface maps to a port or to none. A parsed interface text also goes through the
// listing, as a device's serial number would.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "extcap/extcap_args.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args = {"halvern-extcap"};
  std::string current;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  args.push_back(current);
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());

  ST_EXTCAP_OPTIONS options;
  std::string error;
  if (!cmExtcapParse(static_cast<int>(argv.size()), argv.data(), &options, &error)) return 0;
  const uint8_t port = cmExtcapInterfacePort(options.interface);
  if (port != 0 && cmExtcapInterfaceName(port) != options.interface) __builtin_trap();
  const std::string listing = cmExtcapInterfaces({{port, "", options.interface, ""}});
  // One line per repeater, whatever the serial number holds.
  size_t lines = 0;
  for (char c : listing) lines += c == '\n';
  if (lines != 2) __builtin_trap();
  return 0;
}
