// halvern-extcap's command line and the texts the packet viewer reads before a capture.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "extcap/extcap_args.h"

namespace {

bool Parse(std::vector<const char*> args, ST_EXTCAP_OPTIONS* o, std::string* error) {
  args.insert(args.begin(), "halvern-extcap");
  return cmExtcapParse(static_cast<int>(args.size()), args.data(), o, error);
}

TEST(ExtcapArgs, TakesTheViewersCallsInBothFormsAndIgnoresWhatItHasNoUseFor) {
  ST_EXTCAP_OPTIONS o;
  std::string error;
  ASSERT_TRUE(Parse({"--capture", "--extcap-interface=halvern-3", "--fifo", "/tmp/f", "--logger=x83,3",
                     "--trace-file", "t.txt", "--extcap-capture-filter", "", "--extcap-version=4.0", "--debug",
                     "--extcap-something-new=1"},
                    &o, &error))
      << error;
  EXPECT_EQ(o.mode, EXTCAP_MODE::kCapture);
  EXPECT_EQ(o.interface, "halvern-3");
  EXPECT_EQ(o.fifo, "/tmp/f");
  EXPECT_EQ(o.logger, "x83,3");
  EXPECT_EQ(o.trace_file, "t.txt");

  ST_EXTCAP_OPTIONS listing;
  ASSERT_TRUE(Parse({"--extcap-interfaces", "--extcap-version=4.0"}, &listing, &error));
  EXPECT_EQ(listing.mode, EXTCAP_MODE::kInterfaces);
  EXPECT_EQ(listing.logger, "a") << "all tasks when no logger configuration is given";

  ST_EXTCAP_OPTIONS version;
  ASSERT_TRUE(Parse({"--extcap-version"}, &version, &error));
  EXPECT_EQ(version.mode, EXTCAP_MODE::kVersion);
}

TEST(ExtcapArgs, RefusesWhatACaptureCannotDoWithout) {
  const std::vector<std::vector<const char*>> bad = {
      {"--capture", "--fifo", "/tmp/f"},                      // no interface
      {"--capture", "--extcap-interface", "halvern-1"},       // no fifo
      {"--extcap-dlts"},                                      // no interface
      {"--capture", "--extcap-interface"},                    // value missing
      {"--frobnicate"},                                       // not an option of ours
      {"--port=5"},                                           // nor this
  };
  for (const auto& args : bad) {
    ST_EXTCAP_OPTIONS o;
    std::string error;
    EXPECT_FALSE(Parse(args, &o, &error)) << args[0];
    EXPECT_FALSE(error.empty());
  }
}

TEST(ExtcapArgs, InterfaceNamesMapToPortsAndNothingElse) {
  EXPECT_EQ(cmExtcapInterfaceName(7), "halvern-7");
  EXPECT_EQ(cmExtcapInterfacePort("halvern-7"), 7);
  EXPECT_EQ(cmExtcapInterfacePort("halvern-255"), 255);
  for (const char* name : {"halvern-0", "halvern-256", "halvern-07", "halvern-", "halvern-1x", "halvern-1000", "eth0",
                           "xhalvern-1", ""})
    EXPECT_EQ(cmExtcapInterfacePort(name), 0) << name;
}

TEST(ExtcapArgs, ListsOneInterfacePerRepeaterWithTextsThatCannotBreakTheFormat) {
  const std::vector<ST_REPEATER> repeaters = {{1, "/dev/ttyACM0", "RX5120-0001", "1-1"},
                                              {4, "/dev/ttyACM3", "ODD}{\x1b", "1-4"}};
  EXPECT_EQ(cmExtcapInterfaces(repeaters),
            "extcap {version=1.1}{display=RX5120 DECT trace}\n"
            "interface {value=halvern-1}{display=RX5120 DECT trace: COM1, serial RX5120-0001}\n"
            "interface {value=halvern-4}{display=RX5120 DECT trace: COM4, serial ODD???}\n");
  EXPECT_EQ(cmExtcapInterfaces({}), "extcap {version=1.1}{display=RX5120 DECT trace}\n");
  EXPECT_EQ(cmExtcapDlts("halvern-1"), "dlt {number=147}{name=USER0}{display=RX5120 DECT trace packets}\n");
  const std::string config = cmExtcapConfig();
  EXPECT_NE(config.find("arg {number=0}{call=--logger}"), std::string::npos);
  EXPECT_NE(config.find("{default=a}"), std::string::npos);
  EXPECT_NE(config.find("arg {number=1}{call=--trace-file}"), std::string::npos);
}

}  // namespace
