// The station's end-to-end fixture: simulated repeaters laid out in one fake device tree,
// plugged in or not, and the tool run over them, once or as a watch in the background.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/child.h"
#include "platform/spawn.h"
#include "sim/sim_target.h"
#include "tests/e2e_support.h"

namespace e2e {

inline std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

inline int Count(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

class StationTest : public ::testing::Test {
 protected:
  ~StationTest() override {
    tool_.reset();
    while (!targets_.empty()) targets_.pop_back();  // the last laid out goes first
  }

  // A repeater on the next port of the tree.
  sim::Target& Add(const sim::Config& config, bool plugged = true) {
    auto target = std::make_unique<sim::Target>(config);
    EXPECT_TRUE(target->Start()) << target->LastError();
    EXPECT_TRUE(target->LayOutTree(Path("tree"), static_cast<uint8_t>(targets_.size() + 1))) << target->LastError();
    if (!plugged) target->Unplug();
    targets_.push_back(std::move(target));
    return *targets_.back();
  }

  std::vector<std::pair<std::string, std::string>> Env() const {
    return {{"HALVERN_SYSFS_ROOT", Path("tree/sys")}, {"HALVERN_DEV_ROOT", Path("tree/dev")},
            {"HALVERN_WAIT_MS", wait_ms_}};
  }
  static std::vector<std::string> Command(const std::vector<std::string>& args) {
    std::vector<std::string> all = {HALVERN_EXE, "-p", "RX5120"};
    all.insert(all.end(), args.begin(), args.end());
    return all;
  }
  // One run to its end.
  platform::SpawnResult Run(const std::vector<std::string>& args) const {
    return platform::SpawnCapture(Command(args), Env(), "", 60000);
  }
  // A run in the background.
  void Start(const std::vector<std::string>& args) {
    tool_ = std::make_unique<platform::Child>();
    ASSERT_TRUE(tool_->Start(Command(args), Env()));
  }
  void StartWatch(std::vector<std::string> args) {
    args.push_back("-watch");
    Start(args);
    ASSERT_TRUE(tool_->WaitForText("Watching for RX5120 repeaters", 5000)) << tool_->Out();
  }
  bool WaitForCount(const std::string& text, int count, int timeout_ms = 20000) {
    return tool_->WaitForOutput([&](const std::string& out) { return Count(out, text) >= count; }, timeout_ms);
  }
  // Waits (reading the tool's output meanwhile) until the file holds `count` lines.
  bool WaitForLines(const std::string& path, size_t count, int timeout_ms = 20000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (Lines(path).size() < count) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      tool_->WaitForOutput([](const std::string&) { return false; }, 100);
    }
    return true;
  }
  // How many requests of this event the repeater took in.
  int Requests(size_t target, uint16_t event) const {
    int n = 0;
    for (const auto& frame : targets_[target]->Received()) n += frame.event_id == event;
    return n;
  }

  std::string Write(const std::string& name, const std::string& bytes) const {
    std::ofstream(Path(name), std::ios::binary) << bytes;
    return Path(name);
  }
  std::string Path(const std::string& name) const { return (dir_.path() / name).string(); }

  TempDir dir_;
  std::string wait_ms_ = "6000";
  std::vector<std::unique_ptr<sim::Target>> targets_;
  std::unique_ptr<platform::Child> tool_;
};

}  // namespace e2e
