// The capture pipe on Windows: the packet viewer creates a named pipe and reads it; the capture
// program connects as its client and writes. Here the test plays the viewer.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>

#include "platform/fifo.h"

namespace {

std::string PipeName() {
  return "\\\\.\\pipe\\halvern-test-" + std::to_string(::GetCurrentProcessId()) + "-" +
         std::to_string(::GetTickCount64());
}

HANDLE CreateViewerPipe(const std::string& name) {
  return ::CreateNamedPipeA(name.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0,
                            nullptr);
}

TEST(Win32FifoTest, WritesReachTheViewersNamedPipeAndAClosedPipeIsNoticed) {
  const std::string name = PipeName();
  HANDLE server = CreateViewerPipe(name);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  std::thread viewer([&] { ::ConnectNamedPipe(server, nullptr); });

  platform::FifoWriter fifo;
  std::string error;
  ASSERT_TRUE(fifo.Open(name, &error)) << error;
  viewer.join();
  const char raw[] = "pcap bytes\0\xFF with a NUL";
  const std::string data(raw, sizeof raw - 1);
  ASSERT_TRUE(fifo.Write(data.data(), data.size()));
  char buf[64] = {};
  DWORD n = 0;
  ASSERT_TRUE(::ReadFile(server, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(std::string(buf, n), data);
  EXPECT_FALSE(fifo.ReaderGone());

  // The viewer stops: the next write fails instead of hanging, and the reader is known gone.
  ::DisconnectNamedPipe(server);
  ::CloseHandle(server);
  EXPECT_FALSE(fifo.Write(data.data(), data.size()));
  EXPECT_TRUE(fifo.ReaderGone());
}

TEST(Win32FifoTest, APipeNobodyCreatedIsAnErrorAndAPlainPathBecomesAFile) {
  platform::FifoWriter fifo;
  std::string error;
  EXPECT_FALSE(fifo.Open("\\\\.\\pipe\\halvern-nobody-" + std::to_string(::GetTickCount64()), &error));
  EXPECT_FALSE(error.empty());

  char base[MAX_PATH];
  DWORD n = ::GetTempPathA(sizeof base, base);
  const std::string file = std::string(base, n) + "halvern-fifo-" + std::to_string(::GetTickCount64()) + ".pcap";
  ASSERT_TRUE(fifo.Open(file, &error)) << error;
  ASSERT_TRUE(fifo.Write("abc", 3));
  fifo.Close();
  HANDLE h = ::CreateFileA(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  char buf[8] = {};
  DWORD got = 0;
  ::ReadFile(h, buf, sizeof buf, &got, nullptr);
  ::CloseHandle(h);
  ::DeleteFileA(file.c_str());
  EXPECT_EQ(std::string(buf, got), "abc");
}

}  // namespace
