#include "extcap/extcap_args.h"

#include <cstring>

#include "session/repeater_identity.h"
#include "session/version.h"

namespace {

constexpr const char* kPrefix = "halvern-";

// A text from the device inside a {...} field: braces and control bytes would end or break it.
std::string FieldText(const std::string& text) {
  std::string out = cmRepeaterSerialShown(text);
  for (char& c : out)
    if (c == '{' || c == '}') c = '?';
  return out;
}

}  // namespace

bool cmExtcapParse(int argc, const char* const* argv, ST_EXTCAP_OPTIONS* o, std::string* error) {
  struct ValueOption {
    const char* name;
    std::string* to;  // null: taken and ignored
  };
  const ValueOption value_options[] = {
      {"--extcap-interface", &o->interface},  {"--fifo", &o->fifo},
      {"--logger", &o->logger},               {"--trace-file", &o->trace_file},
      {"--extcap-capture-filter", nullptr},   {"--extcap-control-in", nullptr},
      {"--extcap-control-out", nullptr},      {"--debug-file", nullptr},
      {"--log-file", nullptr},                {"--log-level", nullptr},
  };
  bool version_asked = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i], value;
    const size_t equals = arg.find('=');
    const bool inline_value = arg.rfind("--", 0) == 0 && equals != std::string::npos;
    if (inline_value) {
      value = arg.substr(equals + 1);
      arg.resize(equals);
    }
    const ValueOption* taken = nullptr;
    for (const ValueOption& v : value_options)
      if (arg == v.name) taken = &v;
    if (taken) {
      if (!inline_value) {
        if (i + 1 >= argc) {
          *error = arg + " needs a value";
          return false;
        }
        value = argv[++i];
      }
      if (taken->to) *taken->to = value;
      continue;
    }
    if (inline_value && arg != "--extcap-version" && arg.rfind("--extcap-", 0) != 0) {
      *error = "unknown option " + arg;
      return false;
    }
    if (arg == "--extcap-interfaces") o->mode = EXTCAP_MODE::kInterfaces;
    else if (arg == "--extcap-dlts") o->mode = EXTCAP_MODE::kDlts;
    else if (arg == "--extcap-config") o->mode = EXTCAP_MODE::kConfig;
    else if (arg == "--capture") o->mode = EXTCAP_MODE::kCapture;
    else if (arg == "--help" || arg == "-h") o->mode = EXTCAP_MODE::kHelp;
    else if (arg == "--version" || (arg == "--extcap-version" && !inline_value)) version_asked = true;
    else if (arg == "--debug" || arg.rfind("--extcap-", 0) == 0) continue;  // the viewer's, not ours
    else {
      *error = "unknown option " + arg;
      return false;
    }
  }
  if (o->mode == EXTCAP_MODE::kNone && version_asked) o->mode = EXTCAP_MODE::kVersion;
  if (o->logger.empty()) o->logger.assign(1, 'a');  // all tasks (assign: no false -Wrestrict from GCC 12)
  if ((o->mode == EXTCAP_MODE::kDlts || o->mode == EXTCAP_MODE::kCapture) && o->interface.empty()) {
    *error = "--extcap-interface is needed";
    return false;
  }
  if (o->mode == EXTCAP_MODE::kCapture && o->fifo.empty()) {
    *error = "--fifo is needed for a capture";
    return false;
  }
  return true;
}

std::string cmExtcapInterfaceName(uint8_t port) { return kPrefix + std::to_string(port); }

uint8_t cmExtcapInterfacePort(const std::string& name) {
  const size_t n = std::strlen(kPrefix);
  if (name.size() <= n || name.size() > n + 3 || name.compare(0, n, kPrefix) != 0) return 0;
  int port = 0;
  for (size_t i = n; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return 0;
    port = port * 10 + (name[i] - '0');
  }
  return port >= 1 && port <= 255 && name[n] != '0' ? static_cast<uint8_t>(port) : 0;
}

std::string cmExtcapInterfaces(const std::vector<ST_REPEATER>& repeaters) {
  std::string out = std::string("extcap {version=") + cmToolVersion() + "}{display=RX5120 DECT trace}\n";
  for (const ST_REPEATER& r : repeaters)
    out += "interface {value=" + cmExtcapInterfaceName(r.port) + "}{display=RX5120 DECT trace: COM" +
           std::to_string(r.port) + ", serial " + FieldText(cmRepeaterName(r)) + "}\n";
  return out;
}

std::string cmExtcapDlts(const std::string&) {
  return "dlt {number=" + std::to_string(EXTCAP_DLT) + "}{name=USER0}{display=RX5120 DECT trace packets}\n";
}

std::string cmExtcapConfig() {
  return "arg {number=0}{call=--logger}{display=Logger configuration}{type=string}{default=a}"
         "{tooltip=a: all tasks; layer letters such as m,u: those layers; x<id>,<id>: up to ten message ids}\n"
         "arg {number=1}{call=--trace-file}{display=Also write the trace file}{type=fileselect}{mustexist=false}"
         "{tooltip=The scrambled trace file the tracer command writes, for halvern-trace}\n";
}

std::string cmExtcapUsage() {
  return "usage: halvern-extcap --extcap-interfaces\n"
         "       halvern-extcap --extcap-interface=halvern-N --extcap-dlts\n"
         "       halvern-extcap --extcap-interface=halvern-N --extcap-config\n"
         "       halvern-extcap --extcap-interface=halvern-N --fifo PATH --capture [--logger CMD] [--trace-file FILE]\n"
         "\n"
         "A capture interface for a packet viewer: one interface per attached RX5120 (halvern-N for\n"
         "COM port N). A capture brings the link up, configures the repeater's DECT message logger\n"
         "with CMD (a: all tasks, the default; m,u,...: layer letters; x<id>,<id>,...: a message\n"
         "filter), and writes every traced packet to PATH as pcap (link type 147) as it arrives,\n"
         "until the viewer stops it; the logger is then switched off.\n"
         "\n"
         "       halvern-extcap --help | --version\n"
         "Exit status: 0; 1 the capture could not start or failed; 2 wrong usage. Manual: man halvern-extcap\n";
}
