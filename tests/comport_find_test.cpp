// Finding the product's COM port in the usbser registry keys, and the Linux view of them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "fake_serial.h"
#include "session/comport_find.h"

namespace halvern_test {
namespace {

constexpr const char* kDriver = "System\\CurrentControlSet\\Services\\usbser\\Enum";
constexpr const char* kEnum = "System\\CurrentControlSet\\Enum\\";
constexpr const char* kId = "VID_3F7A&PID_5120";

struct Instance {
  std::string id;
  std::string desc = "USB Serial Device";
  std::string port;
};

platform::MemoryRegistry Registry(uint32_t count, const std::vector<std::pair<int, Instance>>& instances) {
  platform::MemoryRegistry r;
  r.SetDword(kDriver, "Count", count);
  for (const auto& [index, inst] : instances) {
    r.SetString(kDriver, std::to_string(index), inst.id);
    r.SetString(kEnum + inst.id, "DeviceDesc", inst.desc);
    r.SetString(kEnum + inst.id + "\\Device Parameters", "PortName", inst.port);
  }
  return r;
}

const Instance kOther{"USB\\VID_1234&PID_0001\\A1", "Modem", "COM3"};
const Instance kOurs{"USB\\VID_3F7A&PID_5120\\SN1", "RX5120", "COM7"};

TEST(ComPortFindTest, RegistryWalk) {
  platform::MemoryRegistry no_driver;
  platform::MemoryRegistry no_count;
  no_count.AddKey(kDriver);
  Instance second = kOurs;
  second.id = "USB\\VID_3F7A&PID_5120\\SN2";
  second.port = "COM9";
  Instance port300 = kOurs, lpt = kOurs, long_desc = kOurs, full_desc = kOurs, lower = kOurs;
  port300.port = "COM300";
  lpt.port = "LPT1";
  long_desc.desc = std::string(64, 'd');  // 65 bytes with the terminator
  full_desc.desc = std::string(63, 'd');
  lower.id = "USB\\vid_3f7a&pid_5120\\SN1";
  Instance long_id = kOurs, fitting_id = kOurs;
  long_id.id = "USB\\VID_3F7A&PID_5120\\" + std::string(470, 'z');
  fitting_id.id = "USB\\VID_3F7A&PID_5120\\" + std::string(60, 'z');
  platform::MemoryRegistry no_params;
  no_params.SetDword(kDriver, "Count", 1);
  no_params.SetString(kDriver, "0", kOurs.id);
  no_params.SetString(kEnum + kOurs.id, "DeviceDesc", "x");

  struct Case {
    const char* name;
    platform::MemoryRegistry registry;
    uint8_t port;
  } cases[] = {
      {"no driver key", no_driver, 0},
      {"no Count value", no_count, 0},
      {"Count 0", Registry(0, {{0, kOurs}}), 0},
      {"found after another device", Registry(2, {{0, kOther}, {1, kOurs}}), 7},
      {"gap before the device ends the search", Registry(3, {{0, kOther}, {2, kOurs}}), 0},
      {"Count read from its low byte", Registry(0x101, {{0, kOther}, {1, kOurs}}), 0},
      {"two matches: lower index", Registry(2, {{0, second}, {1, kOurs}}), 9},
      {"COM300 taken to 8 bits", Registry(1, {{0, port300}}), 44},
      {"PortName of another form", Registry(1, {{0, lpt}}), 0},
      {"DeviceDesc over 64 bytes", Registry(1, {{0, long_desc}}), 0},
      {"DeviceDesc of 64 bytes", Registry(1, {{0, full_desc}}), 7},
      {"DeviceDesc of a non-matching device too long", Registry(2, {{0, Instance{kOther.id, long_desc.desc, "COM3"}},
                                                                     {1, kOurs}}), 0},
      {"letter case differs", Registry(1, {{0, lower}}), 0},
      {"instance id too long for the key path", Registry(1, {{0, long_id}}), 0},
      {"long instance id that fits", Registry(1, {{0, fitting_id}}), 7},
      {"no Device Parameters key", no_params, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(cmComPortFindIn(c.registry, kId), c.port) << c.name;
}

std::vector<std::pair<int, std::string>> PortsAndSerials(const std::vector<ST_REPEATER>& list) {
  std::vector<std::pair<int, std::string>> out;
  for (const auto& r : list) out.emplace_back(r.port, r.serial);
  return out;
}

TEST(ComPortFindAllTest, EveryMatchInListOrderAndBrokenEntriesSkipped) {
  using List = std::vector<std::pair<int, std::string>>;
  Instance second = kOurs, third = kOurs, lpt = kOurs, port300 = kOurs, long_desc = kOurs;
  second.id = "USB\\VID_3F7A&PID_5120\\SN2";
  second.port = "COM2";
  third.id = "USB\\VID_3F7A&PID_5120\\SN3";
  third.port = "COM12";
  lpt.id = "USB\\VID_3F7A&PID_5120\\LPT";
  lpt.port = "LPT1";
  port300.id = "USB\\VID_3F7A&PID_5120\\BIG";
  port300.port = "COM300";
  long_desc.id = "USB\\VID_3F7A&PID_5120\\DESC";
  long_desc.desc = std::string(64, 'd');
  platform::MemoryRegistry no_params = Registry(2, {{0, kOurs}});
  no_params.SetString(kDriver, "1", "USB\\VID_3F7A&PID_5120\\NOPARAMS");
  no_params.SetString(kEnum + std::string("USB\\VID_3F7A&PID_5120\\NOPARAMS"), "DeviceDesc", "x");

  struct Case {
    const char* name;
    platform::MemoryRegistry registry;
    List expected;
  } cases[] = {
      {"no driver key", platform::MemoryRegistry{}, {}},
      {"only another device", Registry(1, {{0, kOther}}), {}},
      {"three in list order", Registry(4, {{0, kOurs}, {1, kOther}, {2, second}, {3, third}}),
       {{7, "SN1"}, {2, "SN2"}, {12, "SN3"}}},
      {"a gap is skipped", Registry(3, {{0, kOther}, {2, kOurs}}), {{7, "SN1"}}},
      {"Count over 255 read whole", Registry(0x101, {{0, kOther}, {1, kOurs}}), {{7, "SN1"}}},
      {"unusable port names skipped", Registry(3, {{0, lpt}, {1, port300}, {2, second}}), {{2, "SN2"}}},
      {"too long DeviceDesc skipped", Registry(2, {{0, long_desc}, {1, second}}), {{2, "SN2"}}},
      {"missing Device Parameters skipped", no_params, {{7, "SN1"}}},
  };
  for (const Case& c : cases) EXPECT_EQ(PortsAndSerials(cmComPortFindAllIn(c.registry, kId)), c.expected) << c.name;

  // The first-match walk keeps its own rule on the same keys: a gap ends it.
  EXPECT_EQ(cmComPortFindIn(Registry(3, {{0, kOther}, {2, kOurs}}), kId), 0);
  EXPECT_TRUE(cmComPortFindAllIn(Registry(1, {{0, kOurs}}), nullptr).empty());
}


}  // namespace
}  // namespace halvern_test
