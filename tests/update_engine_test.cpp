// The update engines over the in-memory serial device: progress codes and values, answers
// nobody asked for, the inactivity wait, and the command thread waiting for the engine's last
// step (reset request, close) before it returns.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <thread>

#include "fake_serial.h"
#include "update/fwup.h"
#include "update/fwup_transfer.h"
#include "update/update_file.h"

namespace halvern_test {
namespace {

using Codes = std::vector<std::pair<uint32_t, uintptr_t>>;
using std::chrono::milliseconds;

// A target over the fake device: accepts every transfer request at once. It can be slow to
// take the reset request and to close from the receive thread.
class AcceptingSerial final : public platform::SerialDevice {
 public:
  explicit AcceptingSerial(FakeSerial& fake) : fake_(fake) {}
  int slow_ms = 0;                             // set while no link is up
  std::atomic<bool> engine_close_done{false};  // a close from another thread than the test's has finished

  int Open(uint8_t port, platform::DataReceivedFn on_data) override {
    seen_ = fake_.Frames().size();
    return fake_.Open(port, on_data);
  }
  int Write(const uint8_t* data, size_t count) override {
    if (count == 8 && data[4] == 0x1C && data[5] == 0x00) std::this_thread::sleep_for(milliseconds(slow_ms));
    const int r = fake_.Write(data, count);
    const auto frames = fake_.Frames();  // writes come under the link's transmit lock, one at a time
    for (; seen_ < frames.size(); ++seen_) {
      const uint16_t ev = frames[seen_].event_id;
      if (ev == 0x000E || ev == 0x0010 || ev == 0x0012 || ev == 0x3095 || ev == 0x3097 || ev == 0x3099)
        fake_.Queue(Frame(static_cast<uint16_t>(ev + 1), {0x11, 0x01, 0x00}));
    }
    return r;
  }
  int Drain() override { return fake_.Drain(); }
  size_t Read(uint8_t* buffer, size_t max) override { return fake_.Read(buffer, max); }
  void Close() override {
    const bool engine = std::this_thread::get_id() != test_thread_;
    if (engine && fake_.IsOpen()) std::this_thread::sleep_for(milliseconds(slow_ms));
    fake_.Close();
    if (engine) engine_close_done = true;
  }
  std::string DeviceName(uint8_t port) const override { return fake_.DeviceName(port); }
  bool LineGone() const override { return fake_.LineGone(); }

 private:
  FakeSerial& fake_;
  size_t seen_ = 0;
  const std::thread::id test_thread_ = std::this_thread::get_id();
};

std::mutex g_mutex;
Codes g_codes;

void Record(uint32_t, uint32_t code, uintptr_t value) {
  std::lock_guard lock(g_mutex);
  g_codes.emplace_back(code, value);
}

class UpdateEngineTest : public FakeSerialTest {
 protected:
  void SetUp() override { cmbs_uart_SetDevice(&device_); }
  std::string WriteFile(size_t size) {
    const auto path = dir_.path() / ("file" + std::to_string(files_++));
    std::ofstream(path, std::ios::binary) << std::string(size, 'x');
    return path.string();
  }
  // Runs one transfer to its end; returns the progress reports and the frames after the start-up exchange.
  std::pair<Codes, std::vector<std::pair<uint16_t, size_t>>> Transfer(bool pill, size_t size, uint32_t reset) {
    fake_.ClearWrites();
    device_.engine_close_done = false;
    g_codes.clear();
    PST_FWAPP_OBJ app = pill ? cmPillUpdInitialize("1") : cmFwAppInit("1");
    EXPECT_NE(app, nullptr);
    if (!app) return {};
    app->reset_after_end = reset;
    EXPECT_EQ((pill ? cmPillUpdStart : cmFwUpStart)(app, WriteFile(size).c_str(), 0, Record), 0);
    EXPECT_TRUE(WaitFor([&] { return device_.engine_close_done.load(); }));
    cmbs_api_Destroy();  // collects the receive thread
    std::vector<std::pair<uint16_t, size_t>> sent;
    for (const auto& f : fake_.Frames())
      if (f.event_id < 0xFF00) sent.emplace_back(f.event_id, f.params.size());
    return {g_codes, sent};
  }

  AcceptingSerial device_{fake_};
  TempDir dir_;
  int files_ = 0;
};

TEST_F(UpdateEngineTest, ProgressCountsChunksSentOrPacketsAccepted) {
  struct Case {
    bool pill;
    size_t size;
    uint32_t reset;
    Codes codes;
    std::vector<std::pair<uint16_t, size_t>> frames;
  } cases[] = {
      {false, 1, 0, {{2, 0}, {4, 0}}, {{0x000E, 1}, {0x0012, 0}}},
      {false, 512, 1, {{2, 0}, {3, 66}, {4, 0}}, {{0x000E, 256}, {0x0010, 256}, {0x0012, 0}, {0x001C, 0}}},
      {false, 600, 1, {{2, 0}, {3, 66}, {3, 100}, {4, 0}},
       {{0x000E, 256}, {0x0010, 256}, {0x0010, 88}, {0x0012, 0}, {0x001C, 0}}},
      {true, 0, 0, {{2, 0}, {4, 0}}, {{0x3095, 12}, {0x3099, 0}}},
      {true, 249, 0, {{2, 0}, {3, 100}, {3, 200}, {4, 0}}, {{0x3095, 12}, {0x3097, 256}, {0x3097, 1}, {0x3099, 0}}},
      {true, 504, 0, {{2, 0}, {3, 50}, {3, 100}, {4, 0}}, {{0x3095, 12}, {0x3097, 256}, {0x3097, 256}, {0x3099, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.pill ? "pill " : "firmware ") + std::to_string(c.size));
    auto [codes, frames] = Transfer(c.pill, c.size, c.reset);
    EXPECT_EQ(codes, c.codes);
    EXPECT_EQ(frames, c.frames);
  }
}

TEST_F(UpdateEngineTest, AnswersNobodyAskedForAreIgnored) {
  g_codes.clear();
  PST_FWAPP_OBJ app = cmFwAppInit("1");
  ASSERT_NE(app, nullptr);
  app->progress_cb = Record;
  // Before the start: an end answer would report success and close the session under the
  // command's feet; a start answer would read a file that is not open yet.
  fake_.Queue(Frame(0x0013, {0x11, 0x01, 0x00}));
  fake_.Queue(Frame(0x000F, {0x11, 0x01, 0x00}));
  std::this_thread::sleep_for(milliseconds(50));
  cmFwAppClose(app);  // still open: the engine has not closed it
  EXPECT_TRUE(g_codes.empty());
  EXPECT_EQ(fake_.Frames().size(), 2u);  // the start-up exchange only
}

TEST(UpdateTransferTest, WaitExpiresOnlyAfterAQuietSpell) {
  cmFwUpTransferBegin("test");
  // Taken before the answers start: on a loaded machine this thread may run late.
  const auto start = std::chrono::steady_clock::now();
  std::thread answers([] {
    for (int i = 0; i < 8; ++i) {
      cmFwUpTransferExpect(0x0011);
      std::this_thread::sleep_for(milliseconds(40));
      EXPECT_FALSE(cmFwUpTransferAccept(0x0013));  // not the awaited answer: does not count
      EXPECT_TRUE(cmFwUpTransferAccept(0x0011));
    }
  });
  EXPECT_EQ(cmFwUpTransferWait(100), FWUP_PENDING);
  const auto took = std::chrono::steady_clock::now() - start;
  answers.join();
  EXPECT_GE(took, milliseconds(400));  // eight answers 40 ms apart, then 100 ms of quiet
  EXPECT_LT(took, milliseconds(2000));
  // An outcome ends the wait at once; the first one counts.
  cmFwUpTransferSignal(FWUP_FAILED);
  cmFwUpTransferSignal(FWUP_FINISHED);
  EXPECT_EQ(cmFwUpTransferWait(60000), FWUP_FAILED);
  cmFwUpTransferEnd();
}

TEST_F(UpdateEngineTest, CommandReturnsOnlyAfterTheEngineHasResetAndClosed) {
  device_.slow_ms = 300;
  EXPECT_EQ(cmFwUpCommand(1, WriteFile(700).c_str()), 0);
  // Looked at right away: the command itself waited for the engine's last step.
  EXPECT_TRUE(device_.engine_close_done);
  EXPECT_EQ(fake_.Frames().back().event_id, 0x001C);

  device_.engine_close_done = false;
  EXPECT_EQ(cmPillUpdCommand(1, WriteFile(700).c_str(), 4), 0);
  EXPECT_TRUE(device_.engine_close_done);
  EXPECT_EQ(fake_.Frames().back().event_id, 0x3099);
}

// A PILL file that fails to read is not ended as if it were whole: no end request goes out, so
// the target does not take the part it got, and the command's wait runs out as a failure.
TEST_F(UpdateEngineTest, PillFileThatFailsToReadIsNotEnded) {
  PST_FWAPP_OBJ app = cmPillUpdInitialize("1");
  ASSERT_NE(app, nullptr);
  fake_.ClearWrites();
  device_.engine_close_done = false;
  bool ended = false;
  for (bool first : {true, false}) {
    // Open for appending only: the file has a size, but every read of it fails.
    app->file_handle = std::fopen(WriteFile(300).c_str(), "ab");
    ASSERT_NE(app->file_handle, nullptr);
    cmUpdImageLoad(app->file_handle);  // as the start does: the packets come from what it read
    cmPillUpdContinue(app, first);
    for (const auto& f : fake_.Frames()) ended |= f.event_id == 0x3097 || f.event_id == 0x3099;
    EXPECT_FALSE(ended) << "a packet or the end request went out for the " << (first ? "first" : "later") << " packet";
    if (ended) break;  // the end answer closes the session on the receive thread
    std::fclose(app->file_handle);
    app->file_handle = nullptr;
  }
  if (ended)
    EXPECT_TRUE(WaitFor([&] { return device_.engine_close_done.load(); }));  // the end answer closed it
  else
    cmFwAppClose(app);
  cmbs_api_Destroy();
}

}  // namespace
}  // namespace halvern_test
