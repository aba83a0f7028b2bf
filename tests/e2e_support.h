// End-to-end support: a simulated target on a pseudo-terminal with its fake device
// tree, and the built tool run against it as a user would run it.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "platform/spawn.h"
#include "sim/sim_target.h"

namespace e2e {

inline const std::string kRule = std::string(79, '=') + "\n";
inline const std::string kBanner =
    kRule + "\nHALVERN Software Administration Tool Version 1.01\n\n" + kRule + "\n";
inline const std::string kUsage =
    "usage: -p [PRODUCT NAME] -cmd [COMMAND] -fw [firmware binary] -settings [settings file]\n"
    "COMMAND: fact_reset, param_get, param_set, reboot, update, version\n"
    "Available products:\n"
    "\tRX5120\n";

// A fresh temporary directory, removed with the object.
class TempDir {
 public:
  TempDir() {
    std::random_device random;
    path_ = std::filesystem::temp_directory_path() / ("halvern-" + std::to_string(random()) + std::to_string(random()));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// The lines of a file (a report file's records).
inline std::vector<std::string> Lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The JSON text of one field of a record line: "\"ok\"", "1024", "null".
inline std::string FieldOf(const std::string& line, const std::string& name) {
  const std::string key = "\"" + name + "\":";
  const size_t at = line.find(key);
  if (at == std::string::npos) return "<missing>";
  size_t from = at + key.size(), end = from;
  if (line[from] == '"') {
    for (end = from + 1; end < line.size() && line[end] != '"'; ++end)
      if (line[end] == '\\') ++end;
    ++end;
  } else {
    end = line.find_first_of(",}", from);
  }
  return line.substr(from, end - from);
}

inline std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// Every running process with its command line (arguments joined by '\0'). A process that ends
// while it is read is left out: its /proc files then fail with ESRCH, which a stream would throw.
inline std::vector<std::pair<int, std::string>> CommandLines() {
  std::vector<std::pair<int, std::string>> found;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    const int fd = ::open((entry.path() / "cmdline").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    std::string line;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) line.append(buffer, static_cast<size_t>(n));
    ::close(fd);
    if (n == 0 && !line.empty()) found.emplace_back(std::stoi(name), line);
  }
  return found;
}

// A test with a simulated target the tool finds as COM1.
class SimTest : public ::testing::Test {
 protected:
  void StartTarget(sim::Config config = {}) {
    target_ = std::make_unique<sim::Target>(config);
    ASSERT_TRUE(target_->Start()) << target_->LastError();
    ASSERT_TRUE(target_->LayOutTree((dir_.path() / "tree").string()));
  }

  // Environment that points the tool at the fake tree.
  std::vector<std::pair<std::string, std::string>> Env() const {
    std::vector<std::pair<std::string, std::string>> env = {{"HALVERN_SYSFS_ROOT", SysfsRoot()},
                                                            {"HALVERN_DEV_ROOT", DevRoot()}};
    for (const auto& [name, value] : extra_env_) {  // a later setting replaces an earlier one
      std::erase_if(env, [&](const auto& e) { return e.first == name; });
      env.emplace_back(name, value);
    }
    return env;
  }
  std::string SysfsRoot() const { return target_ ? target_->SysfsRoot() : (dir_.path() / "nosys").string(); }
  std::string DevRoot() const { return target_ ? target_->DevRoot() : (dir_.path() / "nodev").string(); }

  platform::SpawnResult Run(std::vector<std::string> args, const std::string& input = "", int timeout_ms = 30000) {
    args.insert(args.begin(), HALVERN_EXE);
    return platform::SpawnCapture(args, Env(), input, timeout_ms);
  }

  // Event ids of the frames the target received, in order.
  std::vector<uint16_t> ReceivedEvents() const {
    std::vector<uint16_t> ids;
    for (const auto& f : target_->Received()) ids.push_back(f.event_id);
    return ids;
  }

  TempDir dir_;
  std::unique_ptr<sim::Target> target_;
  std::vector<std::pair<std::string, std::string>> extra_env_;
};

// The start-up exchange every session begins with: hello, then reset-communication.
inline const std::vector<uint8_t> kHelloFrame = {0xDA, 0xDA, 0xDA, 0xDA, 0x08, 0x00, 0x00, 0x00, 0x01, 0xFF, 0x00, 0x00};
inline const std::vector<uint8_t> kResetCommFrame = {0xDA, 0xDA, 0xDA, 0xDA, 0x08, 0x00, 0x00, 0x00, 0x05, 0xFF, 0x00, 0x00};

inline std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// An information element of one byte.
inline std::vector<uint8_t> U8Ie(uint8_t v) { return {0x40, 0x01, v}; }

// A trace indication's elements: dst, src, mid, flags, [offsets], data.
inline std::vector<uint8_t> TraceInd(uint8_t dst, uint8_t src, uint8_t mid, uint8_t flags, uint8_t offsets,
                                     const std::vector<uint8_t>& data) {
  std::vector<uint8_t> b = Concat({U8Ie(dst), U8Ie(src), U8Ie(mid), U8Ie(flags)});
  if (flags & 0x02) b = Concat({b, U8Ie(offsets)});
  const size_t n = data.size();
  return Concat({b, {0x1B, uint8_t(n + 2), uint8_t((n + 2) >> 8), uint8_t(n), uint8_t(n >> 8)}, data});
}

}  // namespace e2e
