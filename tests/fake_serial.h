// A serial device in memory for the protocol tests, and a fixture that brings the link up on it.
//
// Every Write is kept as one chunk; the written stream is also cut into frames. Bytes queued
// with Queue() are what Read() returns, and queuing fires the data-received notification like
// the port's own thread would. With answer_hello set, a hello frame written by the link is
// answered at once with hello_reply.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cmbs/cmbs_api.h"
#include "cmbs/cmbs_int.h"
#include "platform/env.h"
#include "platform/serial.h"
#include "serial/serial_port.h"

namespace halvern_test {

using Bytes = std::vector<uint8_t>;

// A whole CMBS frame as the wire carries it (byte-order mode 0).
inline Bytes Frame(uint16_t event, const Bytes& params = {}) {
  const uint16_t n = static_cast<uint16_t>(params.size());
  const uint16_t length = static_cast<uint16_t>(n + 8);
  Bytes f = {0xDA, 0xDA, 0xDA, 0xDA, uint8_t(length), uint8_t(length >> 8), 0, 0,
             uint8_t(event), uint8_t(event >> 8), uint8_t(n), uint8_t(n >> 8)};
  f.resize(12 + n);  // sized first: no growing insert, which GCC 12 at -O3 misreads as out of bounds
  std::copy(params.begin(), params.end(), f.begin() + 12);
  return f;
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

struct SentFrame {
  uint16_t event_id;
  Bytes params;
};

class FakeSerial final : public platform::SerialDevice {
 public:
  // Identification the target answers the hello with: build 0x0345, product version 0x0102.
  Bytes hello_reply = {0x11, 0x11, 0x45, 0x03, 0x02, 0x01, 0x22, 0x22, 0, 0, 0, 0, 0, 0, 0,
                       0,    0,    0,    0,    0,    0,    0,    0,    0, 0, 0, 0, 0, 0};
  bool answer_hello = true;
  bool fail_open = false;

  int Open(uint8_t port, platform::DataReceivedFn on_data) override {
    std::lock_guard lock(mutex_);
    ++open_calls_;
    last_port_ = port;
    if (fail_open) return -1;
    open_ = true;
    on_data_ = on_data;
    input_.clear();  // a fresh open purges the line
    return 0;
  }

  int Write(const uint8_t* data, size_t count) override {
    bool hello = false;
    {
      std::lock_guard lock(mutex_);
      writes_.emplace_back(data, data + count);
      stream_.insert(stream_.end(), data, data + count);
      // Cut complete frames off the written stream.
      while (stream_.size() >= 12) {
        // A length below the frame header's own 8 bytes is malformed: the header alone is cut off.
        const size_t total = std::max<size_t>(12, 4u + (stream_[4] | stream_[5] << 8));
        if (stream_.size() < total) break;
        SentFrame f{uint16_t(stream_[8] | stream_[9] << 8), Bytes(stream_.begin() + 12, stream_.begin() + total)};
        hello = hello || (f.event_id == 0xFF01 && answer_hello);
        frames_.push_back(std::move(f));
        stream_.erase(stream_.begin(), stream_.begin() + total);
      }
    }
    if (hello) Queue(Frame(0xFF02, hello_reply));
    return 1;
  }

  int Drain() override { return 1; }

  size_t Read(uint8_t* buffer, size_t max) override {
    std::lock_guard lock(mutex_);
    const size_t n = std::min(max, input_.size());
    std::copy(input_.begin(), input_.begin() + n, buffer);
    input_.erase(input_.begin(), input_.begin() + n);
    return n;
  }

  void Close() override {
    std::lock_guard lock(mutex_);
    if (open_) ++close_calls_;
    open_ = false;
    on_data_ = nullptr;
  }

  std::string DeviceName(uint8_t port) const override { return "fake" + std::to_string(port); }
  bool LineGone() const override { return false; }

  // Bytes from the target; fires the data-received notification when the port is open.
  void Queue(const Bytes& bytes) {
    platform::DataReceivedFn notify;
    {
      std::lock_guard lock(mutex_);
      input_.insert(input_.end(), bytes.begin(), bytes.end());
      notify = on_data_;
    }
    if (notify) notify(platform::SERIAL_DATA);
  }

  // The line goes away: fires the line-gone notification once, as the port's own thread would.
  void HangUp() {
    platform::DataReceivedFn notify;
    {
      std::lock_guard lock(mutex_);
      notify = on_data_;
    }
    if (notify) notify(platform::SERIAL_LINE_GONE);
  }

  std::vector<Bytes> Writes() const { std::lock_guard lock(mutex_); return writes_; }
  std::vector<SentFrame> Frames() const { std::lock_guard lock(mutex_); return frames_; }
  void ClearWrites() {
    std::lock_guard lock(mutex_);
    writes_.clear();
    frames_.clear();
    stream_.clear();
  }
  int OpenCalls() const { std::lock_guard lock(mutex_); return open_calls_; }
  int CloseCalls() const { std::lock_guard lock(mutex_); return close_calls_; }
  bool IsOpen() const { std::lock_guard lock(mutex_); return open_; }
  uint8_t LastPort() const { std::lock_guard lock(mutex_); return last_port_; }

 private:
  mutable std::mutex mutex_;
  Bytes input_, stream_;
  std::vector<Bytes> writes_;
  std::vector<SentFrame> frames_;
  platform::DataReceivedFn on_data_ = nullptr;
  bool open_ = false;
  int open_calls_ = 0, close_calls_ = 0;
  uint8_t last_port_ = 0;
};

// Polls until pred holds or the time is up.
template <typename Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// The fake device replaces the serial back end for the fixture's lifetime.
class FakeSerialTest : public ::testing::Test {
 protected:
  void SetUp() override { cmbs_uart_SetDevice(&fake_); }
  void TearDown() override { cmbs_api_Destroy(); cmbs_uart_SetDevice(nullptr); }
  // Brings the link up on COM port 1 and forgets the handshake's writes.
  void LinkUp() {
    uint8_t port = 1;
    const ST_CMBS_INIT init{1, &port};
    ASSERT_EQ(cmbs_api_Init(0, &init, nullptr), 0);
    fake_.ClearWrites();
  }
  FakeSerial fake_;
};

// Environment variable for the lifetime of the object, restored afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old, had_ = true;
    Set(value.c_str());
  }
  ~ScopedEnv() { had_ ? Set(old_.c_str()) : Unset(); }

 private:
  void Set(const char* v) { platform::SetEnvVar(name_, v); }
  void Unset() { platform::UnsetEnvVar(name_); }
  std::string name_, old_;
  bool had_ = false;
};

// A fresh directory under the system's temporary directory, removed with the object.
class TempDir {
 public:
  TempDir() {
    static int counter = 0;
    path_ = std::filesystem::temp_directory_path() /
            ("halvern_test_" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "_" +
             std::to_string(counter++));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() { std::error_code ec; std::filesystem::remove_all(path_, ec); }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace halvern_test
