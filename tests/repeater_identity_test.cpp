// Which attached repeater is which: the serial number, the USB path and the port as the
// driver's list gives them, and the keys that tell repeaters apart over time.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "session/comport_find.h"
#include "session/repeater_identity.h"

namespace {

constexpr const char* kDriver = "System\\CurrentControlSet\\Services\\usbser\\Enum";
constexpr const char* kEnum = "System\\CurrentControlSet\\Enum\\";
constexpr const char* kId = "VID_3F7A&PID_5120";

TEST(RepeaterIdentityTest, SerialNumberAndUsbPathFromTheDriversList) {
  const struct {
    const char* name;
    std::string instance;
    const char* location;  // LocationInformation, null for none
    std::string serial, usb_path, shown;
  } cases[] = {
      {"a serial number", "USB\\VID_3F7A&PID_5120\\RX0001", nullptr, "RX0001", "", "RX0001"},
      {"a serial number and where it is", "USB\\VID_3F7A&PID_5120\\RX0001", "1-1.2", "RX0001", "1-1.2", "RX0001"},
      {"none: the generated part is where it is", "USB\\VID_3F7A&PID_5120\\6&1a2b3c&0&2", nullptr, "",
       "6&1a2b3c&0&2", "6&1a2b3c&0&2"},
      {"none, with its location", "USB\\VID_3F7A&PID_5120\\0&1-1", "1-1", "", "1-1", "1-1"},
      {"two of one serial number", "USB\\VID_3F7A&PID_5120&TTYACM1\\RX0001", "1-2", "RX0001", "1-2", "RX0001"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    platform::MemoryRegistry registry;
    registry.SetDword(kDriver, "Count", 1);
    registry.SetString(kDriver, "0", c.instance);
    registry.SetString(kEnum + c.instance, "DeviceDesc", "RX5120");
    if (c.location) registry.SetString(kEnum + c.instance, "LocationInformation", c.location);
    registry.SetString(kEnum + c.instance + "\\Device Parameters", "PortName", "COM4");
    const std::vector<ST_REPEATER> found = cmComPortFindAllIn(registry, kId);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].port, 4);
    EXPECT_EQ(found[0].serial, c.serial);
    EXPECT_EQ(found[0].usb_path, c.usb_path);
    EXPECT_EQ(cmRepeaterName(found[0]), c.shown);
  }
}

ST_REPEATER Unit(uint8_t port, const std::string& serial, const std::string& path) {
  return ST_REPEATER{port, "COM" + std::to_string(port), serial, path};
}

TEST(RepeaterIdentityTest, KeysTellUnitsApartAndKeepTheNameTheyWereKnownBy) {
  const struct {
    const char* name;
    std::vector<ST_REPEATER> found;
    std::map<std::string, ST_REPEATER> known;
    std::vector<std::string> keys;
  } cases[] = {
      {"serial numbers of their own", {Unit(1, "A", "1-1"), Unit(2, "B", "1-2")}, {}, {"sn:A", "sn:B"}},
      {"one serial number twice: where they are", {Unit(1, "A", "1-1"), Unit(2, "A", "1-2")}, {},
       {"usb:1-1", "usb:1-2"}},
      {"twice, and no USB path: the ports", {Unit(1, "A", ""), Unit(2, "A", "")}, {}, {"port:1", "port:2"}},
      {"no serial number", {Unit(3, "", "1-4")}, {}, {"usb:1-4"}},
      {"no serial number, no path", {Unit(3, "", "")}, {}, {"port:3"}},
      {"one of a pair left: it keeps its place key", {Unit(2, "A", "1-2")}, {{"usb:1-2", Unit(2, "A", "1-2")}},
       {"usb:1-2"}},
      {"a twin came: the first keeps its serial key",
       {Unit(1, "A", "1-1"), Unit(2, "A", "1-2")},
       {{"sn:A", Unit(1, "A", "1-1")}},
       {"sn:A", "usb:1-2"}},
      {"back on a new port at the same place", {Unit(5, "", "1-4")}, {{"usb:1-4", Unit(3, "", "1-4")}}, {"usb:1-4"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto keys = cmRepeaterKeys(c.found, [&](const std::string& key) -> const ST_REPEATER* {
      const auto it = c.known.find(key);
      return it == c.known.end() ? nullptr : &it->second;
    });
    EXPECT_EQ(keys, c.keys);
  }
}

TEST(RepeaterIdentityTest, AUserChoosesByPortAndSerialNumberOrUsbPath) {
  const struct {
    const char* name;
    ST_REPEATER unit;
    int port;
    const char* serial;
    bool chosen;
  } cases[] = {
      {"any", Unit(1, "A", "1-1"), 0, nullptr, true},
      {"its serial number", Unit(1, "A", "1-1"), 0, "A", true},
      {"its USB path is no serial number", Unit(1, "A", "1-1"), 0, "1-1", false},
      {"no serial number: its USB path", Unit(1, "", "1-1"), 0, "1-1", true},
      {"another port", Unit(1, "A", "1-1"), 2, "A", false},
      {"an empty serial number names nothing", Unit(1, "", ""), 0, "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(cmRepeaterChosen(c.unit, c.port, c.serial), c.chosen);
  }
}

}  // namespace
