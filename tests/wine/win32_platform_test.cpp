// The Win32 back end of the platform layer, on the system's own objects: events, the registry
// walk on the real registry, record files, console input from a pipe, and the serial port's
// open failures. (The serial port's traffic is covered by the end-to-end set under wine.)
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/console.h"
#include "platform/event.h"
#include "platform/file_io.h"
#include "platform/file_operands.h"
#include "platform/registry.h"
#include "platform/serial.h"
#include "session/comport_find.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string TempDir() {
  char base[MAX_PATH];
  DWORD n = ::GetTempPathA(sizeof base, base);
  std::string dir = std::string(base, n) + "halvern-win32-" + std::to_string(::GetCurrentProcessId()) + "-" +
                    std::to_string(::GetTickCount64());
  ::CreateDirectoryA(dir.c_str(), nullptr);
  return dir;
}

// --- File operands ---------------------------------------------------------------------------

// cmd leaves wildcards to the program: only files match, in name order, with the operand's
// folder part; a wildcard in a folder part, or a pattern matching nothing, stays as given.
TEST(Win32FileOperandsTest, WildcardsInTheNameExpandToFilesInNameOrder) {
  const std::string dir = TempDir();
  for (const char* name : {"t-2.txt", "t-10.txt", "t-1.txt", "u-1.txt"}) {
    HANDLE h = ::CreateFileA((dir + "\\" + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << name;
    ::CloseHandle(h);
  }
  ::CreateDirectoryA((dir + "\\t-folder.txt").c_str(), nullptr);
  const std::string d = dir + "\\";
  const std::pair<std::string, std::vector<std::string>> rows[] = {
      {d + "t-*.txt", {d + "t-1.txt", d + "t-10.txt", d + "t-2.txt"}},
      {dir + "/t-?.txt", {dir + "/t-1.txt", dir + "/t-2.txt"}},
      {d + "x-*.txt", {d + "x-*.txt"}},
      {d + "t-1.txt", {d + "t-1.txt"}},
      {dir + "*\\t-1.txt", {dir + "*\\t-1.txt"}},
      {d + "t-folder.*", {d + "t-folder.*"}},
  };
  for (const auto& [operand, expected] : rows) EXPECT_EQ(platform::ExpandFileOperand(operand), expected) << operand;
}

// --- Events ---------------------------------------------------------------------------------

TEST(Win32EventTest, NamedEventsAreNotSharedWithAnyoneUsingTheName) {
  platform::Event first("FW_Update", true);
  platform::Event second("FW_Update", true);
  // Another program (here: a plain kernel event) under the bare name gets an object of its own.
  HANDLE other = ::CreateEventA(nullptr, TRUE, FALSE, "FW_Update");
  ASSERT_NE(other, nullptr);
  EXPECT_NE(::GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  ::SetEvent(other);
  EXPECT_FALSE(first.Wait(0));
  EXPECT_FALSE(second.Wait(0));
  first.Set();
  EXPECT_TRUE(first.Wait(0));
  EXPECT_FALSE(second.Wait(0));
  EXPECT_EQ(first.Name(), "FW_Update");
  ::CloseHandle(other);
}

TEST(Win32EventTest, AutoResetReleasesOneWaitManualResetStaysSet) {
  platform::Event automatic("CMBS_REC Path", false);
  automatic.Set();
  EXPECT_TRUE(automatic.Wait(0));
  EXPECT_FALSE(automatic.Wait(0));

  platform::Event manual("Admin Param", true);
  manual.Set();
  EXPECT_TRUE(manual.Wait(0));
  EXPECT_TRUE(manual.Wait(0));
  manual.Reset();
  EXPECT_FALSE(manual.Wait(0));
}

TEST(Win32EventTest, WaitEndsAtTheTimeoutOrWhenAnotherThreadSets) {
  platform::Event event("CMBS Init Block", false);
  auto start = Clock::now();
  EXPECT_FALSE(event.Wait(100));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(80));

  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    event.Set();
  });
  start = Clock::now();
  EXPECT_TRUE(event.Wait(10000));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  setter.join();
}

// --- Registry -------------------------------------------------------------------------------

// The system registry seen through a test key: every path is looked up below `root`.
class RootedRegistry final : public platform::Registry {
 public:
  RootedRegistry(const platform::Registry& system, std::string root) : system_(system), root_(std::move(root)) {}
  bool OpenKey(const std::string& path) const override { return system_.OpenKey(root_ + path); }
  bool QueryValue(const std::string& path, const std::string& name, uint8_t* buffer,
                  uint32_t* length) const override {
    return system_.QueryValue(root_ + path, name, buffer, length);
  }

 private:
  const platform::Registry& system_;
  std::string root_;
};

class Win32RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = "Software\\halvern-test-" + std::to_string(::GetCurrentProcessId());
    HKEY key = nullptr;
    if (::RegCreateKeyExA(HKEY_LOCAL_MACHINE, root_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                          nullptr) != ERROR_SUCCESS)
      GTEST_SKIP() << "HKEY_LOCAL_MACHINE is not writable here";
    ::RegCloseKey(key);
    created_ = true;
  }
  void TearDown() override {
    if (created_) ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, root_.c_str());
  }

  void SetString(const std::string& path, const char* name, const std::string& text) {
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, (root_ + "\\" + path).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ::RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                     static_cast<DWORD>(text.size() + 1));
    ::RegCloseKey(key);
  }
  void SetDword(const std::string& path, const char* name, DWORD value) {
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, (root_ + "\\" + path).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ::RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    ::RegCloseKey(key);
  }

  std::string root_;
  bool created_ = false;
};

TEST_F(Win32RegistryTest, ValuesFitTheirBufferOrFail) {
  SetString("dev", "PortName", "COM7");
  SetDword("dev", "Count", 0x0102);
  auto registry = platform::OpenSystemRegistry();
  const std::string key = root_ + "\\dev";
  EXPECT_TRUE(registry->OpenKey(key));
  EXPECT_FALSE(registry->OpenKey(key + "\\missing"));

  uint8_t buffer[8] = {};
  uint32_t length = 5;  // "COM7" and its terminator, exactly
  ASSERT_TRUE(registry->QueryValue(key, "PortName", buffer, &length));
  EXPECT_EQ(length, 5u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 5), std::string("COM7", 5));
  length = 4;
  EXPECT_FALSE(registry->QueryValue(key, "PortName", buffer, &length));
  length = sizeof buffer;
  EXPECT_FALSE(registry->QueryValue(key, "Missing", buffer, &length));
  length = sizeof buffer;
  EXPECT_FALSE(registry->QueryValue(key + "\\missing", "PortName", buffer, &length));
  length = sizeof buffer;
  ASSERT_TRUE(registry->QueryValue(key, "Count", buffer, &length));
  EXPECT_EQ(length, 4u);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 4), (std::vector<uint8_t>{0x02, 0x01, 0x00, 0x00}));
}

TEST_F(Win32RegistryTest, PortWalkOnTheRealRegistry) {
  const std::string driver = "System\\CurrentControlSet\\Services\\usbser\\Enum";
  const std::string enum_root = "System\\CurrentControlSet\\Enum\\";
  const std::string other = "USB\\VID_1234&PID_0001\\A1";
  const std::string ours = "USB\\VID_3F7A&PID_5120\\5&123&0&1";
  SetDword(driver, "Count", 2);
  SetString(driver, "0", other);
  SetString(driver, "1", ours);
  SetString(enum_root + other, "DeviceDesc", "Modem");
  SetString(enum_root + other + "\\Device Parameters", "PortName", "COM3");
  SetString(enum_root + ours, "DeviceDesc", std::string(63, 'd'));  // 64 bytes with its terminator
  SetString(enum_root + ours + "\\Device Parameters", "PortName", "COM300");

  auto system = platform::OpenSystemRegistry();
  RootedRegistry registry(*system, root_ + "\\");
  EXPECT_EQ(cmComPortFindIn(registry, "VID_3F7A&PID_5120"), 44);  // COM300, low 8 bits
  EXPECT_EQ(cmComPortFindIn(registry, "VID_1234&PID_0001"), 3);
  EXPECT_EQ(cmComPortFindIn(registry, "vid_3f7a&pid_5120"), 0);
  SetString(enum_root + ours, "DeviceDesc", std::string(64, 'd'));  // one byte too long
  EXPECT_EQ(cmComPortFindIn(registry, "VID_3F7A&PID_5120"), 0);
}

// --- Files ----------------------------------------------------------------------------------

TEST(Win32FileTest, RecordFileIsWrittenAtOnceAndSharedWithReadersOnly) {
  const std::string dir = TempDir();
  const std::string path = dir + "\\trace.txt";
  platform::OutputFile file;
  int error = 0;
  ASSERT_TRUE(file.Create(path, &error));
  EXPECT_EQ(file.Write("BEGIN\r\n", 7), 7u);

  // Already in the file while it is open; a reader (halvern-trace -f) may follow it, another
  // writer may not open it meanwhile.
  HANDLE reader = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  char seen[16] = {};
  DWORD n = 0;
  EXPECT_TRUE(::ReadFile(reader, seen, sizeof seen, &n, nullptr));
  EXPECT_EQ(std::string(seen, n), "BEGIN\r\n");
  ::CloseHandle(reader);
  HANDLE writer = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  platform::OutputFile second;
  EXPECT_FALSE(second.Create(path, &error));
  EXPECT_EQ(error, ERROR_SHARING_VIOLATION);
  file.Close();
  EXPECT_FALSE(file.IsOpen());

  WIN32_FILE_ATTRIBUTE_DATA data{};
  ASSERT_TRUE(::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data));
  EXPECT_EQ(data.nFileSizeLow, 7u);

  // Creating again replaces the old content.
  ASSERT_TRUE(file.Create(path, &error));
  file.Close();
  ASSERT_TRUE(::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data));
  EXPECT_EQ(data.nFileSizeLow, 0u);

  EXPECT_FALSE(file.Create(dir + "\\missing\\trace.txt", &error));
  EXPECT_EQ(error, ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(file.Write("x", 1), 0u);
  ::DeleteFileA(path.c_str());
  ::RemoveDirectoryA(dir.c_str());
}

TEST(Win32FileTest, ModificationTimeInSecondsSince1970) {
  const std::string dir = TempDir();
  const std::string path = dir + "\\names.txt";
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  // 1000000000 s after 1970-01-01, in 100-ns ticks after 1601-01-01.
  const uint64_t ticks = (1000000000ULL + 11644473600ULL) * 10000000ULL;
  FILETIME when{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  ASSERT_TRUE(::SetFileTime(h, nullptr, nullptr, &when));
  ::CloseHandle(h);

  int64_t seconds = 0;
  ASSERT_TRUE(platform::FileModifiedTime(path, &seconds));
  EXPECT_EQ(seconds, 1000000000);
  EXPECT_FALSE(platform::FileModifiedTime(dir + "\\missing.txt", &seconds));
  EXPECT_STREQ(platform::DefaultMidFilePath(), "C:\\rx4000\\logger.txt");
  ::DeleteFileA(path.c_str());
  ::RemoveDirectoryA(dir.c_str());
}

// --- Console input from a pipe ----------------------------------------------------------------

TEST(Win32ConsoleTest, KeysAndLinesFromAPipeThenEndOfInput) {
  HANDLE read_end = nullptr, write_end = nullptr;
  ASSERT_TRUE(::CreatePipe(&read_end, &write_end, nullptr, 0));
  const std::string input = "gs12\r\nlonger line\nlast";
  DWORD written = 0;
  ASSERT_TRUE(::WriteFile(write_end, input.data(), static_cast<DWORD>(input.size()), &written, nullptr));
  ::CloseHandle(write_end);
  HANDLE saved = ::GetStdHandle(STD_INPUT_HANDLE);
  ::SetStdHandle(STD_INPUT_HANDLE, read_end);

  EXPECT_EQ(platform::ConsoleGetKey(), 'g');
  EXPECT_EQ(platform::ConsoleGetKey(), 's');
  std::string line;
  EXPECT_TRUE(platform::ConsoleReadLine(&line, 10));
  EXPECT_EQ(line, "12");  // CR LF ends a line like LF
  EXPECT_TRUE(platform::ConsoleReadLine(&line, 6));
  EXPECT_EQ(line, "longer");  // the rest of the line is dropped
  EXPECT_TRUE(platform::ConsoleReadLine(&line, 10));
  EXPECT_EQ(line, "last");  // the end of input ends the last line
  EXPECT_FALSE(platform::ConsoleReadLine(&line, 10));
  EXPECT_EQ(platform::ConsoleGetKey(), -1);

  ::SetStdHandle(STD_INPUT_HANDLE, saved);
  ::CloseHandle(read_end);
}

// --- Serial port ----------------------------------------------------------------------------

TEST(Win32SerialTest, DevicePathsAndAPortWithNothingBehindIt) {
  auto port = platform::CreateSerialDevice();
  EXPECT_EQ(port->DeviceName(12), "\\\\.\\COM12");
  EXPECT_EQ(port->DeviceName(7), "\\\\.\\COM7");
  EXPECT_EQ(port->DeviceName(255), "\\\\.\\COM255");

  const auto start = Clock::now();
  EXPECT_EQ(port->Open(231, nullptr), -1);
  EXPECT_EQ(port->Open(0, nullptr), -1);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  uint8_t buffer[4];
  EXPECT_EQ(port->Read(buffer, sizeof buffer), 0u);
  EXPECT_EQ(port->Write(buffer, sizeof buffer), 0);
  port->Close();  // after a failed open, and twice
  port->Close();
}

}  // namespace
