// The log console's pieces: log lines, the overview block, level requests and the header.
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <fstream>

#include "clock_text.h"
#include "cmbs/cmbs_event.h"
#include "fake_serial.h"
#include "tracer/main_log.h"

namespace halvern_test {
namespace {

std::string Deliver(uint16_t event, Bytes bytes) {
  ST_CMBS_PARAM_BLOCK block{uint16_t(bytes.size()), uint16_t(bytes.size()), 0, bytes.data()};
  ::testing::internal::CaptureStdout();
  cmLogCallBack(nullptr, event, &block);
  return ::testing::internal::GetCapturedStdout();
}

Bytes LogIe(const std::string& text, uint8_t level = 2) {
  Bytes ie = {0x37, uint8_t(text.size() + 1), level};
  for (char c : text) ie.push_back(uint8_t(c));
  return ie;
}

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class LogCallbackTest : public ::testing::Test {
 protected:
  void TearDown() override {
    cmLogSetFile(nullptr);
    if (file_) std::fclose(file_);
  }
  void OpenLogFile() {
    file_ = std::fopen(path_.string().c_str(), "w");
    ASSERT_NE(file_, nullptr);
    cmLogSetFile(file_);
  }
  TempDir dir_;
  std::filesystem::path path_ = dir_.path() / "target.log";
  std::FILE* file_ = nullptr;
};

TEST_F(LogCallbackTest, LogLinesGetTheTimeInFrontAndGoToTheFile) {
  OpenLogFile();
  struct Case {
    const char* name;
    Bytes block;
    std::string text;
  } cases[] = {
      {"a line", LogIe("link up\n"), "link up\n"},
      {"no line end added", LogIe("part"), "part"},
      {"127 characters kept of 200", LogIe(std::string(200, 'y')), std::string(127, 'y')},
      {"length field 0", {0x37, 0x00}, ""},
      {"other elements after it", Cat({LogIe("first\n"), LogIe("second\n")}), "first\n"},
  };
  std::string file_text;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string out = Deliver(CMXX_EV_LOG_MSG, c.block);
    ASSERT_EQ(out.size(), 9 + c.text.size());
    EXPECT_TRUE(halvern_test::IsClockAt(out, 0)) << out;
    EXPECT_EQ(out.substr(9), c.text);
    file_text += out;
  }
  // An answer that does not start with the expected element shows nothing.
  EXPECT_EQ(Deliver(CMXX_EV_LOG_MSG, Cat({{0x11, 0x01, 0x00}, LogIe("hidden\n")})), "");
  EXPECT_EQ(Deliver(CMXX_EV_LOG_MSG, {}), "");
  EXPECT_EQ(Deliver(CMXX_EV_LOGGER_TRACE_IND, LogIe("other event\n")), "");
  EXPECT_EQ(ReadAll(path_), file_text);
}

TEST_F(LogCallbackTest, OverviewBlockOnConsoleOnly) {
  OpenLogFile();
  Bytes ie = {0x36, 32};
  for (uint32_t v : {0u, 1u, 22u, 333u, 4444u, 55555u, 2147483647u, 0xFFFFFFFFu})
    for (int i = 0; i < 4; ++i) ie.push_back(uint8_t(v >> (8 * i)));
  EXPECT_EQ(Deliver(CMXX_EV_SYS_OVERVIEW_GET_RES, ie),
            "Unlock              0\n"
            "Handover            1\n"
            "LinkError           22\n"
            "Relay requests      333\n"
            "FPHandover          4444\n"
            "FPLinkError         55555\n"
            "ExternalHandover    2147483647\n"
            "Relayed connections -1\n");
  EXPECT_EQ(Deliver(CMXX_EV_SYS_OVERVIEW_GET_RES, LogIe("not an overview")), "");
  EXPECT_EQ(ReadAll(path_), "");
}

TEST_F(LogCallbackTest, HeaderOnConsoleAndInTheFile) {
  OpenLogFile();
  ::testing::internal::CaptureStdout();
  cmLogPrintHeader(nullptr);  // no session: the version reads as zero
  const std::string out = ::testing::internal::GetCapturedStdout();
  const std::string rule(79, '=');
  EXPECT_EQ(halvern_test::MaskTimes(out),
            "Product: SW Version 00.00.0000\n\nTrace  : <ctime>\n"
            "\nTrace  : 'q' => quit\n\nTrace  : 'h' => help\nTrace  : in File \n\n" + rule + "\n\n");
  std::fflush(file_);
  EXPECT_EQ(halvern_test::MaskTimes(ReadAll(path_)),
            "Product: SW Version 00.00.0000\n\nTrace  : <ctime>\n\n\n" + rule + "\n\n");
}

// The header's start time reads as this system's ctime gives it, over every month and weekday,
// one- and two-digit days of the month and single-digit hours.
TEST(LogTimeTextTest, ReadsAsCtimeDoes) {
  for (int k = 0; k < 40; ++k) {
    const std::time_t t = 1700000000 + static_cast<std::time_t>(k) * (13 * 86400 + 3671);
    const char* expected = std::ctime(&t);
    ASSERT_NE(expected, nullptr);
    EXPECT_EQ(cmLogTimeText(t), expected) << "at " << t;
  }
}

class LogLevelTest : public FakeSerialTest {};

TEST_F(LogLevelTest, LevelsZeroToThreeAreSentOthersRefused) {
  LinkUp();
  for (uint32_t level = 0; level <= 3; ++level) {
    fake_.ClearWrites();
    EXPECT_EQ(cmLogSetLevel(level), 0);
    const auto frames = fake_.Frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].event_id, CMXX_EV_LOG_MSG);
    EXPECT_EQ(frames[0].params, Bytes({0x37, 0x01, uint8_t(level)}));
  }
  fake_.ClearWrites();
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(cmLogSetLevel(4), -1);
  EXPECT_EQ(cmLogSetLevel(static_cast<uint32_t>(-1)), -1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "main_log 78: [WARNING]: Nothing configured on target->Invalid logging level (4)\n"
            "main_log 78: [WARNING]: Nothing configured on target->Invalid logging level (4294967295)\n");
  EXPECT_TRUE(fake_.Frames().empty());
}

}  // namespace
}  // namespace halvern_test
