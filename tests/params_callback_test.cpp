// The parameter callback: what each answer code prints, writes and signals.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "params/param_admin.h"
#include "session/fwapp.h"

namespace {

class ParamCallBackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(g_admin_param.data, 0, sizeof g_admin_param.data);
    g_admin_param.shown_count = 0;
    g_admin_param.prefix_length = 0;
    g_admin_param.out_file = nullptr;
    g_admin_param.last_code = 0;
    g_admin_param.done_event = &done_;
  }
  void TearDown() override {
    if (g_admin_param.out_file) std::fclose(g_admin_param.out_file);
    g_admin_param.out_file = nullptr;
    g_admin_param.done_event = nullptr;
  }

  // Runs the callback with code and returns what it printed.
  std::string Call(uint32_t code) {
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
    cmParamCallBack(0, code, 0);
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
  }

  std::string FileText() {
    std::FILE* f = g_admin_param.out_file;
    std::fflush(f);
    std::rewind(f);
    std::string text;
    for (int c; (c = std::getc(f)) != EOF;) text.push_back(static_cast<char>(c));
    return text;
  }

  // data as a settings-file get lays it out: prefix, NUL, answer.
  void LayOutGet(const std::string& prefix, const std::vector<uint8_t>& answer) {
    std::memcpy(g_admin_param.data, prefix.data(), prefix.size());
    if (!answer.empty()) std::memcpy(g_admin_param.data + prefix.size() + 1, answer.data(), answer.size());
    g_admin_param.prefix_length = static_cast<int32_t>(prefix.size());
    g_admin_param.shown_count = static_cast<int32_t>(answer.size());
    g_admin_param.out_file = std::tmpfile();
    ASSERT_NE(g_admin_param.out_file, nullptr);
  }

  platform::Event done_{"Admin Param", true};
};

TEST_F(ParamCallBackTest, SetSuccessRefusalAndOtherCodes) {
  EXPECT_EQ(Call(FWAPP_PARAM_SET_OK), "");
  EXPECT_TRUE(done_.Wait(0));
  done_.Reset();
  EXPECT_EQ(Call(FWAPP_PARAM_FAILED), "error\n");
  EXPECT_TRUE(done_.Wait(0));
  EXPECT_EQ(g_admin_param.last_code, FWAPP_PARAM_FAILED);
  done_.Reset();
  EXPECT_EQ(Call(FWAPP_UPDATE_PROGRESS), "");  // not a parameter answer: no signal
  EXPECT_FALSE(done_.Wait(0));
  EXPECT_EQ(g_admin_param.last_code, FWAPP_PARAM_FAILED);
}

TEST_F(ParamCallBackTest, FileGetRefusalWritesNothing) {
  LayOutGet("16:w:", {0x12, 0x34});
  EXPECT_EQ(Call(FWAPP_PARAM_FAILED), "error\n");
  EXPECT_EQ(FileText(), "");
}

TEST_F(ParamCallBackTest, LongAnswerIsWrittenWhole) {
  const std::string prefix = std::string(249, '0') + "0:a:";  // a prefix as long as a piece allows
  std::vector<uint8_t> answer(512);
  for (size_t i = 0; i < answer.size(); ++i) answer[i] = static_cast<uint8_t>(i);
  LayOutGet(prefix, answer);
  Call(FWAPP_PARAM_GET_OK);
  std::string expected = prefix;
  char hex[3];
  for (uint8_t b : answer) {
    std::snprintf(hex, sizeof hex, "%02X", b);
    expected += hex;
  }
  EXPECT_EQ(FileText(), expected + "\n");
}

TEST_F(ParamCallBackTest, CountsBeyondTheBlockNeverReadPastIt) {
  LayOutGet(std::string(255, '1'), {});
  g_admin_param.shown_count = 65535;  // a refused request's length, met by a late answer
  Call(FWAPP_PARAM_GET_OK);
  EXPECT_EQ(FileText().size(), 255 + 2 * (ADMIN_PARAM_DATA_SIZE - 256) + 1);
  std::fclose(g_admin_param.out_file);
  g_admin_param.out_file = nullptr;
  std::string shown = Call(FWAPP_PARAM_GET_OK);
  EXPECT_EQ(shown.size(), std::string("Data:\n").size() + 3 * ADMIN_PARAM_DATA_SIZE + (ADMIN_PARAM_DATA_SIZE - 1) / 16);
}

}  // namespace
