// Frame reassembly and dispatch on the receive path, driven without a thread.
#include <gtest/gtest.h>

#include <cstring>

#include "cmbs/cmbs_event.h"
#include "cmbs/cmbs_rx.h"
#include "fake_serial.h"

namespace halvern_test {
namespace {

struct Seen {
  uint32_t event;
  Bytes params;   // the block's bytes, or for raw events the header and block
  bool raw_header;
  ST_CMBS_PARAM_BLOCK block;  // copy of the descriptor (non-raw only)
};

std::vector<Seen> g_seen;

void Record(void* context, uint32_t event, void* param) {
  EXPECT_EQ(context, &g_seen);
  if (cmbs_event_IsRaw(static_cast<uint16_t>(event))) {
    const auto* h = static_cast<const uint8_t*>(param);
    const uint16_t length = uint16_t(h[0] | h[1] << 8);
    g_seen.push_back({event, Bytes(h, h + length), true, {}});
  } else {
    const auto* b = static_cast<const ST_CMBS_PARAM_BLOCK*>(param);
    g_seen.push_back({event, Bytes(b->data, b->data + b->length), false, *b});
  }
}

// The receive thread's state without the thread: a running link with Record registered.
class RxParseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    {
      std::lock_guard lock(g_cmbs.state_mutex);
      g_cmbs.state.callback = nullptr;
    }
    ASSERT_NE(cmbs_api_RegisterCallback(&g_seen, Record, 256), nullptr);
    g_cmbs.run.store(true);
    g_seen.clear();
  }
  void TearDown() override {
    g_cmbs.run.store(false);
    std::lock_guard lock(g_cmbs.state_mutex);
    g_cmbs.state.callback = nullptr;
    g_cmbs.state.app_context = nullptr;
  }

  // Feeds the reads one after the other as the thread does; returns the bytes still held.
  size_t Feed(const std::vector<Bytes>& reads) {
    for (const Bytes& r : reads) {
      std::memcpy(buffer_ + held_, r.data(), r.size());
      held_ = cmbs_rx_Parse(buffer_, held_ + r.size());
      EXPECT_LT(held_, sizeof buffer_) << "the buffer must never stay full";
    }
    return held_;
  }

  std::vector<uint32_t> Events() const {
    std::vector<uint32_t> e;
    for (const Seen& s : g_seen) e.push_back(s.event);
    return e;
  }

  uint8_t buffer_[2052];
  size_t held_ = 0;
};

const Bytes kA = Frame(0x0034, {0x11, 0x01, 0x00});
const Bytes kB = Frame(0x3006, {0x37, 0x03, 0x02, 'h', 'i'});

TEST_F(RxParseTest, FramesAreFoundAmidNoiseAndBadHeaders) {
  Bytes too_long = {0xDA, 0xDA, 0xDA, 0xDA, 0x01, 0x08, 0, 0, 0x34, 0, 0xF9, 0x07};  // length 2049
  struct Case {
    const char* name;
    Bytes input;
    std::vector<uint32_t> events;
    size_t held;
  } cases[] = {
      {"two frames in one read", Cat({kA, kB}), {0x0034, 0x3006}, 0},
      {"garbage in front", Cat({{0x01, 0xDA, 0x00}, kA}), {0x0034}, 0},
      {"sync with a wrong fourth byte", Cat({{0xDA, 0xDA, 0xDA, 0x00}, kA}), {0x0034}, 0},
      {"length below 8", Cat({{0xDA, 0xDA, 0xDA, 0xDA, 0x07, 0x00, 0, 0}, kB}), {0x3006}, 0},
      {"length 0", Cat({{0xDA, 0xDA, 0xDA, 0xDA, 0x00, 0x00}, kB}), {0x3006}, 0},
      {"length beyond the buffer", Cat({too_long, kA}), {0x0034}, 0},
      {"empty block", Frame(0x0036), {0x0036}, 0},
      {"partial frame kept", Cat({kA, Bytes(kB.begin(), kB.begin() + 9)}), {0x0034}, 9},
      {"partial sync kept", Cat({kA, {0xDA, 0xDA, 0xDA}}), {0x0034}, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_seen.clear();
    held_ = 0;
    EXPECT_EQ(Feed({c.input}), c.held);
    EXPECT_EQ(Events(), c.events);
    EXPECT_EQ(Bytes(buffer_, buffer_ + held_), Bytes(c.input.end() - c.held, c.input.end()));
  }
  // A frame as long as the buffer allows is taken.
  g_seen.clear();
  held_ = 0;
  EXPECT_EQ(Feed({Frame(0x2002, Bytes(2040, 0x5A))}), 0u);
  EXPECT_EQ(Events(), std::vector<uint32_t>{0x2002});
}

TEST_F(RxParseTest, FrameSplitAtAnyPointIsDispatchedOnceWhenComplete) {
  const Bytes input = Cat({{0x00, 0x00}, kB});
  for (size_t cut = 1; cut < input.size(); ++cut) {
    g_seen.clear();
    held_ = 0;
    Feed({Bytes(input.begin(), input.begin() + cut)});
    EXPECT_TRUE(g_seen.empty()) << "cut " << cut;
    EXPECT_EQ(Feed({Bytes(input.begin() + cut, input.end())}), 0u);
    ASSERT_EQ(g_seen.size(), 1u) << "cut " << cut;
    EXPECT_EQ(g_seen[0].params, Bytes({0x37, 0x03, 0x02, 'h', 'i'}));
  }
}

TEST_F(RxParseTest, RawEventsGetTheHeaderOthersADescriptor) {
  for (uint16_t ev : {0x000E, 0x0010, 0x0012, 0x2000, 0x2002, 0x2004, 0x000F, 0x3800}) {
    SCOPED_TRACE(ev);
    g_seen.clear();
    const Bytes frame = Frame(ev, {1, 2, 3});
    Feed({frame});
    ASSERT_EQ(g_seen.size(), 1u);
    const bool raw = ev == 0x000E || ev == 0x0010 || ev == 0x0012 || (ev & 0xF000) == 0x2000;
    EXPECT_EQ(g_seen[0].raw_header, raw);
    if (raw) {
      EXPECT_EQ(g_seen[0].params, Bytes(frame.begin() + 4, frame.end()));
    } else {
      EXPECT_EQ(g_seen[0].params, Bytes({1, 2, 3}));
      EXPECT_EQ(g_seen[0].block.size, 3);
      EXPECT_EQ(g_seen[0].block.position, 0);
    }
  }
}

TEST_F(RxParseTest, InternalEventsNeverReachTheCallback) {
  Feed({Cat({Frame(0xFF02, Bytes(29, 0)), Frame(0xFF03, {1, 0}), Frame(0xFF04), Frame(0xFF05),
             Frame(0xFFEE, {9}), kA})});
  EXPECT_EQ(Events(), std::vector<uint32_t>{0x0034});
}

TEST_F(RxParseTest, ShortHelloReplyReadsMissingFieldsAsZero) {
  // Five bytes: the product version has its low byte only, the fourth word nothing.
  g_cmbs.state.target.word3 = 0x5555;
  g_cmbs.state.target.u25 = 0x5555;
  Feed({Frame(0xFF02, {0x01, 0x02, 0x03, 0x04, 0x05})});
  EXPECT_EQ(cmbs_api_HelloWord0Get(), 0x0201);
  EXPECT_EQ(cmbs_api_BuildGet(), 0x0403);
  EXPECT_EQ(cmbs_api_ProductVersionGet(), 0x0005);
  EXPECT_EQ(cmbs_api_HelloWord3Get(), 0);
  EXPECT_EQ(g_cmbs.state.target.u25, 0u);
  EXPECT_TRUE(g_seen.empty());
}

}  // namespace
}  // namespace halvern_test
