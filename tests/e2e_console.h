// End-to-end support for the interactive consoles (log, tracer): the tool runs in a working
// directory of its own with its keys fed while it runs, and its output is read as it comes, so
// a test can wait for what the tool printed before it pushes events or sends the next key.
#pragma once

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/child.h"
#include "tests/clock_text.h"
#include "tests/e2e_support.h"

namespace e2e {

constexpr int kConsoleWaitMs = 15000;

class ConsoleTest : public SimTest {
 protected:
  ConsoleTest() { std::filesystem::create_directories(work_); }

  // Starts the tool in work_ with these arguments.
  void StartTool(std::vector<std::string> args) {
    args.insert(args.begin(), HALVERN_EXE);
    tool_ = std::make_unique<platform::Child>();
    ASSERT_TRUE(tool_->Start(args, Env(), work_.string()));
  }
  // Waits until the output holds text (counted `times` times).
  void WaitForOutput(const std::string& text, size_t times = 1) {
    ASSERT_TRUE(tool_->WaitForOutput(
        [&](const std::string& out) {
          size_t n = 0;
          for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + text.size())) ++n;
          return n >= times;
        },
        kConsoleWaitMs))
        << "waiting for: " << text << "\noutput so far:\n"
        << tool_->Out();
  }
  void Keys(const std::string& keys) { ASSERT_TRUE(tool_->Send(keys)); }
  int Finish() {
    int status = tool_->Finish(kConsoleWaitMs);
    EXPECT_FALSE(tool_->TimedOut());
    return status;
  }

  std::filesystem::path WriteFile(const std::string& name, const std::string& content) {
    std::filesystem::path path = work_ / name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
  static std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::filesystem::path work_ = dir_.path() / "work";
  std::unique_ptr<platform::Child> tool_;
};

// Replaces the clock texts that change from run to run: the ctime text of a header line and the
// "HH:MM:SS " in front of a log line.
inline std::string MaskTimes(const std::string& text) { return halvern_test::MaskTimes(text); }

}  // namespace e2e
