// halvern-extcap: the repeater's DECT message logger as a live capture interface of a packet
// viewer. The viewer runs it to list the interfaces, their link type and options, and then to
// capture into a fifo it reads.
#include <cstdio>
#include <string>

#include "extcap/extcap_args.h"
#include "extcap/extcap_capture.h"
#include "platform/console_out.h"
#include "platform/std_streams.h"
#include "session/product.h"
#include "session/version.h"

int main(int argc, char** argv) {
  ST_EXTCAP_OPTIONS options;
  std::string error;
  if (!cmExtcapParse(argc, argv, &options, &error)) {
    platform::PrintText(stderr, "halvern-extcap: %s\n%s", error.c_str(), cmExtcapUsage().c_str());
    return 2;
  }
  platform::SetStdoutBinary();  // the viewer reads LF line ends
  std::string out;
  switch (options.mode) {
    case EXTCAP_MODE::kInterfaces:
      out = cmExtcapInterfaces(cmComPortFindAll(g_products[0].usb_id));
      break;
    case EXTCAP_MODE::kDlts:
      out = cmExtcapDlts(options.interface);
      break;
    case EXTCAP_MODE::kConfig:
      out = cmExtcapConfig();
      break;
    case EXTCAP_MODE::kCapture:
      return cmExtcapCapture(options);
    case EXTCAP_MODE::kVersion:
      out = cmVersionLine("halvern-extcap");
      break;
    case EXTCAP_MODE::kHelp:
    case EXTCAP_MODE::kNone:
      out = cmExtcapUsage();
      break;
  }
  std::fputs(out.c_str(), stdout);
  return 0;
}
