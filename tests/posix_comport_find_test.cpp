// The Linux view of the usbser registry keys, built from a sysfs tree (POSIX only).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "fake_serial.h"
#include "session/comport_find.h"

namespace halvern_test {
namespace {

constexpr const char* kId = "VID_3F7A&PID_5120";

namespace fs = std::filesystem;

void WriteFile(const fs::path& p, const std::string& text) { std::ofstream(p) << text << "\n"; }

// One USB device with a CDC interface whose tty is ttyACM<n>, linked like sysfs does.
void AddAcm(const fs::path& root, int n, const std::string& usb, const std::string& vid, const std::string& pid) {
  const fs::path dev = root / "devices" / "usb1" / usb;
  const fs::path tty = dev / (usb + ":1.0") / "tty" / ("ttyACM" + std::to_string(n));
  fs::create_directories(tty);
  fs::create_directories(root / "class" / "tty");
  WriteFile(dev / "idVendor", vid);
  WriteFile(dev / "idProduct", pid);
  WriteFile(dev / "serial", "SN" + std::to_string(n));
  WriteFile(dev / "product", "Device " + std::to_string(n));
  fs::create_symlink("../../../" + usb + ":1.0", tty / "device");
  fs::create_symlink("../../devices/usb1/" + usb + "/" + usb + ":1.0/tty/ttyACM" + std::to_string(n),
                     root / "class" / "tty" / ("ttyACM" + std::to_string(n)));
}

TEST(ComPortFindTest, SysfsTreeGivesComPortOfTheAcmNumberPlusOne) {
  TempDir dir;
  const fs::path root = dir.path();
  ScopedEnv env("HALVERN_SYSFS_ROOT", root.string());
  EXPECT_EQ(cmComPortFind(kId), 0) << "empty tree";

  AddAcm(root, 0, "1-1", "1234", "0001");
  fs::create_directories(root / "class" / "tty" / "ttyS0");  // not a USB serial port
  EXPECT_EQ(cmComPortFind(kId), 0);
  AddAcm(root, 1, "1-2", "3f7a", "5120");  // sysfs writes the ids in lower case
  EXPECT_EQ(cmComPortFind(kId), 2);
  EXPECT_EQ(cmComPortFind("VID_1234&PID_0001"), 1);
}

TEST(ComPortFindAllTest, SysfsTreeListsEveryRepeaterWithItsNodeAndSerial) {
  TempDir dir;
  const fs::path root = dir.path();
  ScopedEnv sysfs("HALVERN_SYSFS_ROOT", root.string());
  ScopedEnv dev("HALVERN_DEV_ROOT", "/devroot");
  EXPECT_TRUE(cmComPortFindAll(kId).empty());
  AddAcm(root, 10, "1-5", "3f7a", "5120");
  AddAcm(root, 0, "1-1", "1234", "0001");
  AddAcm(root, 2, "1-3", "3f7a", "5120");
  const auto list = cmComPortFindAll(kId);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].port, 3);
  EXPECT_EQ(list[0].device, "/devroot/ttyACM2");
  EXPECT_EQ(list[0].serial, "SN2");
  EXPECT_EQ(list[1].port, 11);
  EXPECT_EQ(list[1].device, "/devroot/ttyACM10");
  EXPECT_EQ(list[1].serial, "SN10");
}
TEST(ComPortFindAllTest, ADeviceWithoutSerialNumberHasNoneAndIsKnownByItsUsbPath) {
  TempDir dir;
  const fs::path root = dir.path();
  ScopedEnv sysfs("HALVERN_SYSFS_ROOT", root.string());
  AddAcm(root, 0, "1-1", "3f7a", "5120");
  AddAcm(root, 1, "1-2.3", "3f7a", "5120");
  fs::remove(root / "devices" / "usb1" / "1-2.3" / "serial");
  const auto list = cmComPortFindAll(kId);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].serial, "SN0");
  EXPECT_EQ(list[0].usb_path, "1-1");
  EXPECT_EQ(list[1].serial, "");
  EXPECT_EQ(list[1].usb_path, "1-2.3");
}

TEST(ComPortFindAllTest, AListThatCannotBeReadIsAFailureNotAnEmptyList) {
  const struct {
    const char* name;
    void (*damage)(const fs::path& root);
    bool listed;
    const char* reason;  // in the error text
  } cases[] = {
      {"no class/tty at all: nothing attached", [](const fs::path&) {}, true, ""},
      {"class/tty is no folder",
       [](const fs::path& root) {
         fs::create_directories(root / "class");
         WriteFile(root / "class" / "tty", "");
       },
       false, "class/tty: Not a directory"},
      {"an attribute that is no file",
       [](const fs::path& root) {
         AddAcm(root, 0, "1-1", "3f7a", "5120");
         fs::remove(root / "devices" / "usb1" / "1-1" / "serial");
         fs::create_directories(root / "devices" / "usb1" / "1-1" / "serial" / "x");
       },
       false, "serial"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    ScopedEnv sysfs("HALVERN_SYSFS_ROOT", dir.path().string());
    c.damage(dir.path());
    std::vector<ST_REPEATER> found{ST_REPEATER{}};
    std::string error;
    EXPECT_EQ(cmComPortListAll(kId, &found, &error), c.listed);
    EXPECT_TRUE(found.empty());
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
  }
}

}  // namespace
}  // namespace halvern_test
