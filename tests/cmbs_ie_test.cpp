// Information elements: the request encoders' exact blocks, the element walk and the decoders.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>

#include "cmbs/cmbs_dsr.h"
#include "cmbs/cmbs_event.h"
#include "cmbs/cmbs_ie.h"
#include "fake_serial.h"

namespace halvern_test {
namespace {

using EncoderTest = FakeSerialTest;

Bytes Seq(size_t n, uint8_t first = 0) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(first + i);
  return b;
}

TEST_F(EncoderTest, EachEncoderSendsItsBlockOrRefusesWithoutSending) {
  LinkUp();
  const Bytes five = Seq(5, 0xA0), four = Seq(4, 0xB0), list = Seq(40, 1);
  const Bytes area512 = Seq(512), area513 = Seq(513), chunk = Seq(256, 3);
  const std::string long_text(200, 'x');
  struct Case {
    const char* name;
    std::function<int()> call;
    int result;
    uint16_t event;  // 0: nothing may be sent
    Bytes params;
  } cases[] = {
      {"factory reset", [] { return cmbs_dsr_param_Set(nullptr, 0, 12, nullptr, 0); }, 0, 0x000C,
       {0x0E, 0x05, 0x0C, 0x00, 0x00, 0x00, 0x00}},
      {"param 1 with 5 bytes", [&] { return cmbs_dsr_param_Set(nullptr, 0, 1, five.data(), 5); }, 0, 0x000C,
       Cat({{0x0E, 0x0A, 0x01, 0x00, 0x00, 0x05, 0x00}, five})},
      {"param 13 refused", [] { return cmbs_dsr_param_Set(nullptr, 0, 13, nullptr, 0); }, 4, 0, {}},
      {"param 1 with 4 bytes refused", [&] { return cmbs_dsr_param_Set(nullptr, 0, 1, four.data(), 4); }, 4, 0, {}},
      {"param 24 refused", [] { return cmbs_dsr_param_Set(nullptr, 0, 24, nullptr, 0); }, 4, 0, {}},
      {"param set with flag", [] { return cmbs_dsr_param_Set(nullptr, 1, 12, nullptr, 0); }, 4, 0, {}},
      {"area get", [] { return cmbs_dsr_param_AreaGet(nullptr, 0, 0x0100, 16); }, 0, 0x0033,
       {0x15, 0x05, 0x00, 0x00, 0x00, 0x01, 0x10, 0x00}},
      {"area get 513", [] { return cmbs_dsr_param_AreaGet(nullptr, 0, 0, 513); }, 4, 0, {}},
      {"area set 512", [&] { return cmbs_dsr_param_AreaSet(nullptr, 0, 0x1234, area512.data(), 512); }, 0, 0x0035,
       Cat({{0x15, 0x05, 0x02, 0x00, 0x34, 0x12, 0x00, 0x02}, area512})},
      {"area set 513", [&] { return cmbs_dsr_param_AreaSet(nullptr, 0, 0, area513.data(), 513); }, 4, 0, {}},
      {"area set with flag", [&] { return cmbs_dsr_param_AreaSet(nullptr, 2, 0, area512.data(), 1); }, 4, 0, {}},
      {"logger config with list", [&] { return cmbs_dsr_logger_ConfigSet(nullptr, 1, 0x8000, list.data(), 40); }, 0,
       0x3801, Cat({{0x3E, 0x01, 0x01, 0x4A, 0x02, 0x00, 0x80, 0x1B, 0x2A, 0x00, 0x28, 0x00}, list})},
      {"logger config without list", [] { return cmbs_dsr_logger_ConfigSet(nullptr, 0, 0x0102, nullptr, 0); }, 0,
       0x3801, {0x3E, 0x01, 0x00, 0x4A, 0x02, 0x02, 0x01}},
      {"log level", [] { return cmbs_dsr_log_LevelSet(nullptr, "", 0x102); }, 0, 0x3006, {0x37, 0x01, 0x02}},
      {"log level, long text cut to 128", [&] { return cmbs_dsr_log_LevelSet(nullptr, long_text.c_str(), 5); }, 0,
       0x3006, Cat({{0x37, 129, 5}, Bytes(128, 'x')})},
      {"fw start", [&] { return cmbs_dsr_fw_UpdateStart(nullptr, chunk.data(), 256); }, 0, 0x000E, chunk},
      {"fw end", [] { return cmbs_dsr_fw_UpdateEnd(nullptr, nullptr, 0); }, 0, 0x0012, {}},
      {"reset", [] { return cmbs_dsr_sys_Reset(nullptr); }, 0, 0x001C, {}},
      {"power off", [] { return cmbs_dsr_sys_PowerOff(); }, 0, 0x4000, {}},
      {"overview", [] { return cmbs_dsr_sys_OverviewGet(nullptr); }, 0, 0x3004, {}},
      {"logger status", [] { return cmbs_dsr_logger_StatusGet(); }, 0, 0x3802, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake_.ClearWrites();
    EXPECT_EQ(c.call(), c.result);
    const auto frames = fake_.Frames();
    if (c.event == 0) {
      EXPECT_TRUE(fake_.Writes().empty());
      continue;
    }
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].event_id, c.event);
    EXPECT_EQ(frames[0].params, c.params);
  }
}

TEST_F(EncoderTest, FifthThreadGetsNoBuilderAndSendsNothing) {
  LinkUp();  // a fresh link has every slot free
  std::atomic<int> holding{0};
  std::atomic<bool> release{false};
  std::vector<std::thread> holders;
  for (int i = 0; i < 4; ++i)
    holders.emplace_back([&] {
      EXPECT_NE(cmbs_ie_BlockGet(), nullptr);
      EXPECT_NE(cmbs_ie_BlockGet(), nullptr) << "a thread keeps its slot";
      ++holding;
      while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
  ASSERT_TRUE(WaitFor([&] { return holding == 4; }));
  std::thread fifth([] {
    EXPECT_EQ(cmbs_ie_BlockGet(), nullptr);
    EXPECT_EQ(cmbs_dsr_logger_ConfigSet(nullptr, 1, 1, nullptr, 0), 4);
    EXPECT_EQ(cmbs_dsr_param_Set(nullptr, 0, 12, nullptr, 0), 4);
    EXPECT_EQ(cmbs_dsr_param_AreaGet(nullptr, 0, 0, 1), 4);
  });
  fifth.join();
  release = true;
  for (auto& t : holders) t.join();
  EXPECT_TRUE(fake_.Writes().empty());
}

ST_CMBS_PARAM_BLOCK BlockOf(Bytes& b) {
  return {static_cast<uint16_t>(b.size()), static_cast<uint16_t>(b.size()), 0, b.data()};
}

// Element identifiers the walk hands out, in order.
std::vector<uint16_t> Walk(Bytes bytes) {
  ST_CMBS_PARAM_BLOCK block = BlockOf(bytes);
  std::vector<uint16_t> ids;
  uint8_t* ie = nullptr;
  uint16_t id = 0xFFFF;
  for (cmbs_ie_GetFirst(&block, &ie, &id); ie; cmbs_ie_GetNext(&block, &ie, &id)) {
    EXPECT_EQ(id, ie[0]);
    ids.push_back(id);
    if (ids.size() > bytes.size()) break;
  }
  EXPECT_EQ(id, 0) << "the end of the walk reports identifier 0";
  return ids;
}

TEST(IeWalkTest, HandsOutOnlyElementsWhollyInsideTheBlock) {
  const Bytes response = {0x11, 0x01, 0x00};
  const Bytes area = {0x15, 0x07, 0x00, 0x00, 0x00, 0x01, 0x02, 0x00, 0xAA, 0xBB};
  using Ids = std::vector<uint16_t>;
  EXPECT_EQ(Walk(Cat({response, area})), Ids({0x11, 0x15}));
  EXPECT_EQ(Walk(Cat({area, response, {0x1B, 0x00, 0x00}})), Ids({0x15, 0x11, 0x1B}));
  EXPECT_EQ(Walk({}), Ids{});
  EXPECT_EQ(Walk({0x11}), Ids{}) << "header cut";
  EXPECT_EQ(Walk({0x15, 0x00}), Ids{}) << "long header cut";
  EXPECT_EQ(Walk({0x11, 0x05, 0x00}), Ids{}) << "value past the end";
  EXPECT_EQ(Walk(Cat({response, {0x15, 0x09, 0x00, 0x00}})), Ids({0x11})) << "second value past the end";
  EXPECT_EQ(Walk(Cat({response, {0x37}})), Ids({0x11})) << "second header cut";
}

TEST(IeDecodeTest, DecodersCheckTheIdentifierAndReadTheirLayout) {
  Bytes area = {0x15, 0x09, 0x00, 0x00, 0x34, 0x12, 0x04, 0x00, 1, 2, 3, 4};
  Bytes data = {0x1B, 0x05, 0x00, 0x03, 0x00, 7, 8, 9};
  Bytes response = {0x11, 0x01, 0x03};
  uint32_t result = 99;
  ST_IE_PARAM_AREA a{9, 9, 9, nullptr};
  ST_IE_DATA d{9, nullptr};
  ST_IE_SYS_OVERVIEW o{{7}};
  ST_IE_LOG_MSG log{99, "untouched"};
  EXPECT_EQ(cmbs_ie_GetResponse(data.data(), &result), 4);
  EXPECT_EQ(cmbs_ie_GetParamArea(data.data(), &a), 4);
  EXPECT_EQ(cmbs_ie_GetData(area.data(), &d), 4);
  EXPECT_EQ(cmbs_ie_GetSysOverview(response.data(), &o), 4);
  EXPECT_EQ(cmbs_ie_GetLogMsg(response.data(), &log), 4);
  EXPECT_TRUE(result == 99 && a.count == 9 && d.length == 9 && o.counter[0] == 7) << "outputs untouched";
  EXPECT_STREQ(log.text, "untouched");

  ASSERT_EQ(cmbs_ie_GetResponse(response.data(), &result), 0);
  EXPECT_EQ(result, 3u);
  ASSERT_EQ(cmbs_ie_GetParamArea(area.data(), &a), 0);
  EXPECT_EQ(a.address, 0x1234);
  EXPECT_EQ(Bytes(a.data, a.data + a.count), Bytes({1, 2, 3, 4}));
  ASSERT_EQ(cmbs_ie_GetData(data.data(), &d), 0);
  EXPECT_EQ(Bytes(d.data, d.data + d.length), Bytes({7, 8, 9}));

  // A count beyond the element's own bytes is cut to what it holds; no data gives no pointer.
  Bytes short_area = {0x15, 0x06, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0xEE};
  ASSERT_EQ(cmbs_ie_GetParamArea(short_area.data(), &a), 0);
  EXPECT_EQ(a.count, 1);
  Bytes empty_area = {0x15, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  ASSERT_EQ(cmbs_ie_GetParamArea(empty_area.data(), &a), 0);
  EXPECT_EQ(a.data, nullptr);
}

TEST(IeDecodeTest, LogTextIsCutToFitAndAlwaysTerminated) {
  struct Case {
    size_t text;
    size_t expected;
  } cases[] = {{0, 0}, {5, 5}, {127, 127}, {128, 127}, {254, 127}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Bytes ie = Cat({{0x37, static_cast<uint8_t>(c.text + 1), 4}, Bytes(c.text, 'a')});
    ST_IE_LOG_MSG log;
    std::memset(&log, 0x7F, sizeof log);
    ASSERT_EQ(cmbs_ie_GetLogMsg(ie.data(), &log), 0);
    EXPECT_EQ(log.level, 4u);
    EXPECT_EQ(strnlen(log.text, sizeof log.text), c.expected);
  }
  // A length field of 0 holds not even the level: empty text.
  Bytes zero = {0x37, 0x00};
  ST_IE_LOG_MSG log;
  std::memset(&log, 0x7F, sizeof log);
  ASSERT_EQ(cmbs_ie_GetLogMsg(zero.data(), &log), 0);
  EXPECT_STREQ(log.text, "");
}

}  // namespace
}  // namespace halvern_test
