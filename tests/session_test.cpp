// The application session: the dispatcher's result codes and the session over the fake link.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "cmbs/cmbs_event.h"
#include "fake_serial.h"
#include "session/fwapp.h"

namespace halvern_test {
namespace {

// Written on the receive thread; the other fields are read only after calls was seen.
struct Progress {
  std::atomic<int> calls{0};
  uint32_t user = 0, code = 0;
  uintptr_t value = 0;
  void Reset() { calls = 0, user = 0, code = 0, value = 0; }
};
Progress g_progress;

void OnProgress(uint32_t user, uint32_t code, uintptr_t value) {
  g_progress.user = user;
  g_progress.code = code;
  g_progress.value = value;
  ++g_progress.calls;
}

const Bytes kArea = {0x15, 0x09, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0xDE, 0xAD, 0xBE, 0xEF};
const Bytes kOk = {0x11, 0x01, 0x00};
const Bytes kRefused = {0x11, 0x01, 0x01};

TEST(SessionDispatchTest, ParameterResponsesGiveResultCodes) {
  struct Case {
    const char* name;
    uint16_t event;
    Bytes block;
    uint32_t code;
    bool copied;
  } cases[] = {
      {"area then ok", 0x0034, Cat({kArea, kOk}), 6, true},
      // Accepted, but without the read's data in front of the response: nothing to show.
      {"ok then area", 0x0034, Cat({kOk, kArea}), 8, false},
      {"area then refused", 0x0034, Cat({kArea, kRefused}), 8, true},
      {"area without response", 0x0034, kArea, 8, true},
      // A refusal ends the read whatever address it names; it copies nothing then.
      {"refused naming another address", 0x0034,
       Cat({{0x15, 0x05, 0x00, 0x00, 0x34, 0x12, 0x00, 0x00}, kRefused}), 8, false},
      {"other element skipped", 0x000B, Cat({{0x37, 0x01, 0x00}, kArea, kOk}), 6, true},
      {"get without elements", 0x0034, {}, 8, false},
      {"set ok", 0x0036, Cat({{0x37, 0x01, 0x00}, kOk}), 7, false},
      {"set refused", 0x000D, kRefused, 8, false},
      {"set without elements", 0x0036, {}, 8, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uint8_t dest[8] = {};
    ST_FWAPP_OBJ app{};
    app.user_data = 42;
    app.progress_cb = OnProgress;
    const bool get = c.event == 0x0034 || c.event == 0x000B;
    if (get) app.get_pending = true, app.get_buffer = dest, app.get_buffer_size = 4;
    if (!get) app.set_pending = true, app.sets_sent = 1;
    Bytes bytes = c.block;
    ST_CMBS_PARAM_BLOCK block{uint16_t(bytes.size()), uint16_t(bytes.size()), 0, bytes.data()};
    g_progress.Reset();
    cmFwUpCallBack(&app, c.event, &block);
    EXPECT_EQ(g_progress.calls, 1);
    EXPECT_EQ(g_progress.user, 42u);
    EXPECT_EQ(g_progress.code, c.code);
    EXPECT_EQ(g_progress.value, get ? reinterpret_cast<uintptr_t>(dest) : 0u);
    EXPECT_EQ(app.get_buffer, nullptr);
    EXPECT_FALSE(app.get_pending);
    EXPECT_FALSE(app.set_pending);
    const Bytes expected = c.copied ? Bytes({0xDE, 0xAD, 0xBE, 0xEF, 0, 0, 0, 0}) : Bytes(8, 0);
    EXPECT_EQ(Bytes(dest, dest + 8), expected);
  }
}

struct EventSeen {
  PST_FWAPP_OBJ app = nullptr;
  uint16_t event = 0;
  void* param = nullptr;
  int calls = 0;
} g_event;

void OnEvent(PST_FWAPP_OBJ app, uint16_t event, void* param) { g_event = {app, event, param, g_event.calls + 1}; }

TEST(SessionDispatchTest, OtherEventsGoToTheEventCallbackOrAreDropped) {
  ST_FWAPP_OBJ app{};
  app.progress_cb = OnProgress;
  ST_CMBS_PARAM_BLOCK block{};
  g_progress.Reset();
  g_event = {};
  cmFwUpCallBack(&app, CMXX_EV_LOG_MSG, &block);  // no event callback: dropped
  EXPECT_EQ(cmFwAppSetEventCallback(&app, OnEvent), 0);
  cmFwUpCallBack(&app, CMXX_EV_LOG_MSG, &block);
  cmFwUpCallBack(nullptr, CMXX_EV_LOG_MSG, &block);  // no context: ignored
  EXPECT_EQ(g_event.calls, 1);
  EXPECT_EQ(g_event.app, &app);
  EXPECT_EQ(g_event.event, CMXX_EV_LOG_MSG);
  EXPECT_EQ(g_event.param, &block);
  EXPECT_EQ(g_progress.calls, 0);
  EXPECT_EQ(cmFwAppSetEventCallback(nullptr, OnEvent), -1);
}

std::atomic<int> g_handled{0};
void OnAnswer(PST_FWAPP_OBJ, PST_CMBS_PARAM_BLOCK) { ++g_handled; }
void OnOtherAnswer(PST_FWAPP_OBJ, PST_CMBS_PARAM_BLOCK) { g_handled += 100; }

// A command hands the session the handlers of the answers it awaits; the session itself
// knows none of them, and keeps the parameter answers for itself.
TEST(SessionDispatchTest, RegisteredAnswersGoToTheirHandlers) {
  ST_FWAPP_OBJ app{};
  ST_CMBS_PARAM_BLOCK block{};
  g_handled = 0;
  g_event = {};
  ASSERT_EQ(cmFwAppSetEventCallback(&app, OnEvent), 0);
  cmFwUpCallBack(&app, 0x000F, &block);  // nobody registered for it: an event like any other
  EXPECT_EQ(g_event.calls, 1);
  for (uint16_t event : {0x000F, 0x0011, 0x0013, 0x0036}) EXPECT_EQ(cmFwAppSetResponseHandler(&app, event, OnAnswer), 0);
  EXPECT_EQ(cmFwAppSetResponseHandler(&app, 0x0099, OnAnswer), -1);  // the table is full
  EXPECT_EQ(cmFwAppSetResponseHandler(&app, 0x0013, OnOtherAnswer), 0);  // replaced, not added
  EXPECT_EQ(cmFwAppSetResponseHandler(nullptr, 0x000F, OnAnswer), -1);
  EXPECT_EQ(cmFwAppSetResponseHandler(&app, 0x000F, nullptr), -1);
  cmFwUpCallBack(&app, 0x000F, &block);
  cmFwUpCallBack(&app, 0x0011, &block);
  cmFwUpCallBack(&app, 0x0013, &block);
  cmFwUpCallBack(&app, 0x0036, &block);  // a write answer stays the session's
  EXPECT_EQ(g_handled, 102);
  EXPECT_EQ(g_event.calls, 1);
}

// The session opened over the fake device.
void OnMark(PST_FWAPP_OBJ app, uint16_t event, void* block);  // below, with the events it marks

class SessionLinkTest : public FakeSerialTest {
 protected:
  void TearDown() override {
    if (app_) cmFwAppClose(app_);
    FakeSerialTest::TearDown();
  }
  // A session whose results reach g_progress (reset here) and whose events reach OnMark.
  void OpenWithProgress() {
    g_progress.Reset();
    app_ = cmFwAppOpen("1", 0, OnProgress);
    ASSERT_NE(app_, nullptr);
    ASSERT_EQ(cmFwAppSetEventCallback(app_, OnMark), 0);
  }
  PST_FWAPP_OBJ app_ = nullptr;
};

TEST_F(SessionLinkTest, PortTextIsTakenToEightBits) {
  for (auto [text, port] : {std::pair{"7", 7}, {"263", 7}, {"12abc", 12}}) {
    SCOPED_TRACE(text);
    app_ = cmFwAppInit(text);
    ASSERT_NE(app_, nullptr);
    EXPECT_EQ(fake_.LastPort(), port);
    EXPECT_EQ(app_->port_number, port);
    EXPECT_EQ(app_->init_port, &app_->port_number);
    cmFwAppClose(app_);
    app_ = nullptr;
    EXPECT_FALSE(fake_.IsOpen());
  }
}

TEST_F(SessionLinkTest, GetOfTooManyBytesIsRefusedAndKeepsDestination) {
  app_ = cmFwAppOpen("1", 5, OnProgress);
  ASSERT_NE(app_, nullptr);
  fake_.ClearWrites();
  uint8_t dest[600];
  EXPECT_EQ(cmFwAppParamGet(app_, 0, 513, dest), 4);
  EXPECT_TRUE(fake_.Writes().empty());
  EXPECT_EQ(app_->get_buffer, dest);
  EXPECT_FALSE(cmFwAppParamCancel(app_));  // nothing went out, so nothing is pending
}

TEST_F(SessionLinkTest, ResponseWithMoreDataThanAskedStaysInsideTheDestination) {
  g_progress.Reset();
  app_ = cmFwAppOpen("1", 9, OnProgress);
  ASSERT_NE(app_, nullptr);
  fake_.ClearWrites();
  uint8_t dest[12];
  std::memset(dest, 0xCC, sizeof dest);
  ASSERT_EQ(cmFwAppParamGet(app_, 0x0010, 4, dest + 4), 0);
  const auto frames = fake_.Frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].event_id, 0x0033);
  EXPECT_EQ(frames[0].params, Bytes({0x15, 0x05, 0x00, 0x00, 0x10, 0x00, 0x04, 0x00}));

  // The target answers with 16 bytes where 4 were asked for: the first 4 are the read's.
  Bytes area = {0x15, 0x15, 0x00, 0x00, 0x10, 0x00, 0x10, 0x00};
  for (int i = 0; i < 16; ++i) area.push_back(static_cast<uint8_t>(i + 1));
  fake_.Queue(Frame(0x0034, Cat({area, kOk})));
  ASSERT_TRUE(WaitFor([] { return g_progress.calls == 1; }));
  EXPECT_EQ(g_progress.code, 6u);
  EXPECT_EQ(g_progress.user, 9u);
  EXPECT_EQ(Bytes(dest, dest + 12), Bytes({0xCC, 0xCC, 0xCC, 0xCC, 1, 2, 3, 4, 0xCC, 0xCC, 0xCC, 0xCC}));
  EXPECT_EQ(cmFwAppTakeReadNote(app_), "0x0010: the repeater answered 16 of 4 bytes: the first 4 are used");
  EXPECT_EQ(cmFwAppTakeReadNote(app_), "");  // said once
}

// A command may ask for the next read as soon as the result of the previous one is
// reported; that request's destination must survive the end of the previous response.
PST_FWAPP_OBJ g_chained_app = nullptr;
uint8_t g_second[2];
std::atomic<uintptr_t> g_second_value{1};

void AskAgainOnFirstResult(uint32_t, uint32_t, uintptr_t value) {
  if (++g_progress.calls == 1)
    cmFwAppParamGet(g_chained_app, 0, 2, g_second);
  else
    g_second_value = value;
}

TEST_F(SessionLinkTest, NextGetAskedFromTheResultKeepsItsDestination) {
  g_progress.Reset();
  app_ = g_chained_app = cmFwAppOpen("1", 0, AskAgainOnFirstResult);
  ASSERT_NE(app_, nullptr);
  uint8_t first[2] = {};
  ASSERT_EQ(cmFwAppParamGet(app_, 0, 2, first), 0);
  fake_.Queue(Frame(0x0034, Cat({{0x15, 0x07, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x01, 0x02}, kOk})));
  ASSERT_TRUE(WaitFor([] { return g_progress.calls == 1; }));
  fake_.Queue(Frame(0x0034, Cat({{0x15, 0x07, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x03, 0x04}, kOk})));
  ASSERT_TRUE(WaitFor([] { return g_progress.calls == 2; }));
  EXPECT_EQ(g_second_value, reinterpret_cast<uintptr_t>(g_second));
  EXPECT_EQ(Bytes(g_second, g_second + 2), Bytes({0x03, 0x04}));
}

TEST_F(SessionLinkTest, LateAnswerToAnEarlierReadIsDropped) {
  g_progress.Reset();
  app_ = cmFwAppOpen("1", 9, OnProgress);
  ASSERT_NE(app_, nullptr);
  uint8_t dest[4] = {};
  ASSERT_EQ(cmFwAppParamGet(app_, 0x0020, 4, dest), 0);
  // The answer to a read of 0x0010 that timed out arrives first, then the one asked for.
  fake_.Queue(Frame(0x0034, Cat({{0x15, 0x09, 0x00, 0x00, 0x10, 0x00, 0x04, 0x00, 1, 2, 3, 4}, kOk})));
  fake_.Queue(Frame(0x0034, Cat({{0x15, 0x09, 0x00, 0x00, 0x20, 0x00, 0x04, 0x00, 5, 6, 7, 8}, kOk})));
  ASSERT_TRUE(WaitFor([] { return g_progress.calls == 1; }));
  EXPECT_EQ(g_progress.code, 6u);
  EXPECT_EQ(Bytes(dest, dest + 4), Bytes({5, 6, 7, 8}));
}

// Answers carry no request number: an accepted answer for the address asked is the read's
// answer whatever its byte count (a target cuts a read short at the end of its area); one for
// another address is taken for the late answer to an earlier read, and the read waits on for its
// own, which then completes it.
TEST_F(SessionLinkTest, AnswerForTheAddressAskedIsTheAnswerWhateverItsCount) {
  const Bytes own = {0x15, 0x09, 0x00, 0x00, 0x20, 0x00, 0x04, 0x00, 5, 6, 7, 8};
  const struct {
    const char* name;
    Bytes area;
    uint32_t code;
    Bytes dest;  // what the read's 4 bytes and the 2 behind them hold
    const char* note;
  } cases[] = {
      {"fewer bytes", {0x15, 0x07, 0x00, 0x00, 0x20, 0x00, 0x02, 0x00, 1, 2}, 8, {1, 2, 0, 0, 0, 0},
       "0x0020: the repeater answered 2 of 4 bytes"},
      {"count cut to the bytes held", {0x15, 0x07, 0x00, 0x00, 0x20, 0x00, 0x04, 0x00, 1, 2}, 8, {1, 2, 0, 0, 0, 0},
       "0x0020: the repeater answered 2 of 4 bytes"},
      {"no bytes", {0x15, 0x05, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00}, 8, {0, 0, 0, 0, 0, 0},
       "0x0020: the repeater answered 0 of 4 bytes"},
      {"another address", {0x15, 0x09, 0x00, 0x00, 0x21, 0x00, 0x04, 0x00, 1, 2, 3, 4}, 6, {5, 6, 7, 8, 0, 0}, ""},
  };
  app_ = cmFwAppOpen("1", 0, OnProgress);
  ASSERT_NE(app_, nullptr);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    g_progress.Reset();
    uint8_t dest[6] = {};
    ASSERT_EQ(cmFwAppParamGet(app_, 0x0020, 4, dest), 0);
    fake_.Queue(Frame(0x0034, Cat({c.area, kOk})));
    if (c.code == 6 && c.note[0] == '\0') fake_.Queue(Frame(0x0034, Cat({own, kOk})));
    ASSERT_TRUE(WaitFor([] { return g_progress.calls == 1; }));
    EXPECT_EQ(g_progress.code, c.code);
    EXPECT_EQ(Bytes(dest, dest + 6), c.dest);
    EXPECT_EQ(cmFwAppTakeReadNote(app_), c.note);
    EXPECT_FALSE(cmFwAppParamCancel(app_));
  }
}

std::atomic<int> g_marks{0};
void OnMark(PST_FWAPP_OBJ, uint16_t, void*) { ++g_marks; }

// Frames are handed out in order: once the marker after them was seen, so were they.
void QueueAndWaitUntilHandled(FakeSerial& fake, const Bytes& frames) {
  const int marks = g_marks;
  fake.Queue(Cat({frames, Frame(CMXX_EV_LOG_MSG)}));
  ASSERT_TRUE(WaitFor([&] { return g_marks > marks; }));
}

TEST_F(SessionLinkTest, RefusalEndsTheReadWhateverAddressItNames) {
  g_progress.Reset();
  app_ = cmFwAppOpen("1", 0, OnProgress);
  ASSERT_NE(app_, nullptr);
  uint8_t dest[2] = {0xEE, 0xEE};
  ASSERT_EQ(cmFwAppParamGet(app_, 0x0010, 2, dest), 0);
  // As a target that does not echo the address sends it.
  fake_.Queue(Frame(0x0034, Cat({{0x15, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, kRefused})));
  ASSERT_TRUE(WaitFor([] { return g_progress.calls == 1; }));
  EXPECT_EQ(g_progress.code, 8u);
  EXPECT_EQ(g_progress.value, reinterpret_cast<uintptr_t>(dest));
  EXPECT_EQ(Bytes(dest, dest + 2), Bytes({0xEE, 0xEE}));
  EXPECT_FALSE(cmFwAppParamCancel(app_));
}

TEST_F(SessionLinkTest, ReadGivenUpIsNotCompletedByItsLateAnswer) {
  ASSERT_NO_FATAL_FAILURE(OpenWithProgress());
  const Bytes answer = Frame(0x0034, Cat({{0x15, 0x07, 0x00, 0x00, 0x10, 0x00, 0x02, 0x00, 0x7F, 0x55}, kOk}));
  const Bytes refusal = Frame(0x0034, kRefused);

  uint8_t dest[2] = {};
  ASSERT_EQ(cmFwAppParamGet(app_, 0x0010, 2, dest), 0);
  EXPECT_TRUE(cmFwAppParamCancel(app_));
  EXPECT_FALSE(cmFwAppParamCancel(app_));
  QueueAndWaitUntilHandled(fake_, Cat({answer, refusal}));
  EXPECT_EQ(g_progress.calls, 0);
  EXPECT_EQ(Bytes(dest, dest + 2), Bytes({0, 0}));

  // A read whose answer was reported has nothing left to give up.
  ASSERT_EQ(cmFwAppParamGet(app_, 0x0010, 2, dest), 0);
  QueueAndWaitUntilHandled(fake_, answer);
  EXPECT_EQ(g_progress.calls, 1);
  EXPECT_EQ(Bytes(dest, dest + 2), Bytes({0x7F, 0x55}));
  EXPECT_FALSE(cmFwAppParamCancel(app_));
}

// An area element of an accepted get answer: address, then the bytes it carries.
Bytes AreaAnswer(uint16_t address, const Bytes& data) {
  const auto n = static_cast<uint16_t>(data.size());
  Bytes area = {0x15, uint8_t(5 + n), uint8_t((5 + n) >> 8), 0x00, uint8_t(address), uint8_t(address >> 8),
                uint8_t(n), uint8_t(n >> 8)};
  area.insert(area.end(), data.begin(), data.end());
  return Frame(0x0034, Cat({area, kOk}));
}

// The late answer of a read given up may come while a later read waits: one that fits a read
// given up (address and byte count; address alone for a refusal) and not the read in progress is
// dropped, and that read is forgotten; the read in progress takes what comes after it.
TEST_F(SessionLinkTest, LateAnswersOfReadsGivenUpAreDropped) {
  const struct {
    const char* name;
    std::vector<ST_FWAPP_READ> given_up;
    ST_FWAPP_READ read;
    Bytes answers;
    uint32_t code;
    Bytes dest;
    const char* note;
    uint32_t still_given_up;
  } cases[] = {
      {"refusal naming a read given up", {{0x10, 2}}, {0x20, 4},
       Cat({Frame(0x0034, Cat({{0x15, 0x05, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00}, kRefused})),
            AreaAnswer(0x20, {5, 6, 7, 8})}),
       6, {5, 6, 7, 8}, "", 0},
      // Cannot be told from the read's own answer: taken, and the read given up is still owed one.
      {"fits a read given up and the read in progress", {{0x10, 4}}, {0x10, 4}, AreaAnswer(0x10, {1, 2, 3, 4}), 6,
       {1, 2, 3, 4}, "", 1},
      // Of more reads given up than are remembered, the oldest are forgotten; the newest are known.
      {"more reads given up than remembered",
       {{0x10, 1}, {0x10, 2}, {0x10, 3}, {0x10, 5}, {0x10, 6}, {0x10, 7}, {0x10, 8}, {0x10, 9}, {0x10, 10}},
       {0x10, 4}, Cat({AreaAnswer(0x10, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}), AreaAnswer(0x10, {9})}), 8, {9, 0, 0, 0},
       "0x0010: the repeater answered 1 of 4 bytes", 7},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NO_FATAL_FAILURE(OpenWithProgress());
    uint8_t dest[16] = {};
    for (const ST_FWAPP_READ& read : c.given_up) {
      ASSERT_EQ(cmFwAppParamGet(app_, read.address, read.count, dest), 0);
      EXPECT_TRUE(cmFwAppParamCancel(app_));
    }
    EXPECT_EQ(app_->given_up_count, std::min(static_cast<uint32_t>(c.given_up.size()), FWAPP_GIVEN_UP));
    ASSERT_EQ(cmFwAppParamGet(app_, c.read.address, c.read.count, dest), 0);
    QueueAndWaitUntilHandled(fake_, c.answers);
    EXPECT_EQ(g_progress.calls, 1);
    EXPECT_EQ(g_progress.code, c.code);
    EXPECT_EQ(Bytes(dest, dest + 4), c.dest);
    EXPECT_EQ(cmFwAppTakeReadNote(app_), c.note);
    EXPECT_EQ(app_->given_up_count, c.still_given_up);
    cmFwAppClose(app_);
    app_ = nullptr;
  }
}

TEST_F(SessionLinkTest, WriteGivenUpLetsItsLateAnswerPassUnreported) {
  ASSERT_NO_FATAL_FAILURE(OpenWithProgress());
  const uint8_t data[1] = {0x11};
  const Bytes accepted = Frame(0x0036, kOk);
  const Bytes refused = Frame(0x0036, kRefused);

  ASSERT_EQ(cmFwAppParamSet(app_, 0x0010, 1, data), 0);
  EXPECT_TRUE(cmFwAppParamCancel(app_));
  // The next write goes out; the first answer to come is the late one of the write given up.
  ASSERT_EQ(cmFwAppParamSet(app_, 0x0011, 1, data), 0);
  QueueAndWaitUntilHandled(fake_, accepted);
  EXPECT_EQ(g_progress.calls, 0);
  QueueAndWaitUntilHandled(fake_, refused);
  EXPECT_EQ(g_progress.calls, 1);
  EXPECT_EQ(g_progress.code, uint32_t{FWAPP_PARAM_FAILED});
  // Nothing is out now: a stray answer is nobody's.
  QueueAndWaitUntilHandled(fake_, accepted);
  EXPECT_EQ(g_progress.calls, 1);
}

// Each write given up is followed by a fence, a read of its address (1 byte, then 2, then 1 ...).
// Answers come in the order of the requests, so once a fence's answer is in, no write sent
// before it is owed an answer any more; the next write that gets its own answer succeeds.
TEST_F(SessionLinkTest, FenceAfterAWriteGivenUpSettlesWhatItOwes) {
  const Bytes accepted = Frame(0x0036, kOk);
  const auto fence_answer = [](uint8_t count) {
    Bytes area = {0x15, uint8_t(5 + count), 0x00, 0x00, 0x10, 0x00, count, 0x00};
    area.resize(8 + count, 0x7F);
    return Frame(0x0034, Cat({area, kOk}));
  };
  const struct {
    const char* name;
    int given_up;  // writes given up before the last one
    Bytes answers;  // what comes while the last write waits
  } cases[] = {
      {"late answer, then the fence's", 1, Cat({accepted, fence_answer(1), accepted})},
      {"answer lost", 1, Cat({fence_answer(1), accepted})},
      // The first fence's answer is lost too: the second one's, two bytes long, settles both.
      {"answer and fence lost", 2, Cat({fence_answer(2), accepted})},
  };
  const uint8_t data[1] = {0x11};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NO_FATAL_FAILURE(OpenWithProgress());
    fake_.ClearWrites();
    for (int i = 0; i < c.given_up; ++i) {
      ASSERT_EQ(cmFwAppParamSet(app_, 0x0010, 1, data), 0);
      EXPECT_TRUE(cmFwAppParamCancel(app_));
    }
    const auto frames = fake_.Frames();
    ASSERT_EQ(frames.size(), 2u * c.given_up);
    EXPECT_EQ(frames[1].event_id, 0x0033);
    EXPECT_EQ(frames[1].params, Bytes({0x15, 0x05, 0x00, 0x00, 0x10, 0x00, 0x01, 0x00}));
    ASSERT_EQ(cmFwAppParamSet(app_, 0x0010, 1, data), 0);
    QueueAndWaitUntilHandled(fake_, c.answers);
    EXPECT_EQ(g_progress.calls, 1);
    EXPECT_EQ(g_progress.code, uint32_t{FWAPP_PARAM_SET_OK});
    EXPECT_FALSE(cmFwAppParamCancel(app_));
    cmFwAppClose(app_);
    app_ = nullptr;
  }
}

}  // namespace
}  // namespace halvern_test
