// Firmware update, PILL update and PILL date stamping as a user runs them, against the
// simulated target: console transcripts byte for byte, the frames on the wire, and what the
// target ends up holding.
#include <cstdio>
#include <fstream>
#include <random>

#include "platform/child.h"
#include "tests/e2e_support.h"

namespace e2e {
namespace {

using Bytes = std::vector<uint8_t>;
using Frames = std::vector<std::pair<uint16_t, size_t>>;  // event and parameter bytes
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr uint16_t kFwStart = 0x000E, kFwNext = 0x0010, kFwEnd = 0x0012, kReset = 0x001C;
constexpr uint16_t kPillStart = 0x3095, kPillNext = 0x3097, kPillEnd = 0x3099;

const std::string kVersion = "Product: SW Version 01.02.0345\n\n" + kRule + "\n";
const std::string kClosing = "\n" + kRule + "\n";
const std::string kFwDone = kClosing + "\nFW Update successfully finished\n" + kClosing;
const std::string kFwFailed = "\n[ERROR]\tFW Update was not successfully finished!\n" + kClosing;
const std::string kFwNotStarted = "\n[ERROR]\tFW Update was not sucessfully started!\n" + kClosing;
const std::string kPillDone = kClosing + "\nPILL Update finished successfully\n" + kClosing;
const std::string kPillFailed = "\n[ERROR]\tPILL Update could not be started!\n";

Bytes Pattern(size_t n, unsigned seed) {
  std::mt19937 random(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(random());
  return b;
}

// "Update Start" and the counter line of each of `reports` progress reports.
std::string Progress(size_t reports) {
  std::string s = "Update Start\n";
  for (size_t i = 1; i <= reports; ++i) {
    char line[32];
    std::snprintf(line, sizeof line, "Writing: %3d Kb\r", static_cast<int>(i * 256 / 1024));
    s += line;
  }
  return s;
}

sim::Fault Fault(void (*set)(sim::Fault&)) {
  sim::Fault f;
  set(f);
  return f;
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

class UpdateTest : public SimTest {
 protected:
  std::string WriteFile(const std::string& name, const Bytes& bytes) {
    const auto path = dir_.path() / name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::ssize(bytes));
    return path.string();
  }
  // Waits for the start-up exchange and `expected`, makes sure nothing follows, and returns
  // what came after the start-up exchange.
  Frames TransferFrames(size_t expected) {
    EXPECT_TRUE(target_->WaitForFrames(2 + expected, std::chrono::seconds(5)));
    EXPECT_FALSE(target_->WaitForFrames(3 + expected, milliseconds(200)));
    Frames out;
    auto frames = target_->Received();
    for (size_t i = 2; i < frames.size(); ++i) out.emplace_back(frames[i].event_id, frames[i].params.size());
    return out;
  }
  platform::SpawnResult Update(const std::string& path) { return Run({"-p", "RX5120", "-cmd", "update", "-fw", path}); }
  platform::SpawnResult Pill(const std::string& path) {
    return Run({"-p", "RX5120", "-cmd", "pill_upd", "-lang", "7", "-pill", path});
  }
};

TEST_F(UpdateTest, ImagesArriveWholeOneChunkAtATimeAndTheTargetRestarts) {
  for (size_t size : {1, 255, 256, 257, 600, 1024, 1280, 1 << 20}) {
    SCOPED_TRACE(size);
    StartTarget();
    const Bytes image = Pattern(size, static_cast<unsigned>(size));
    auto r = Update(WriteFile("fw.bin", image));
    const size_t chunks = (size + 255) / 256;
    EXPECT_EQ(r.out, kBanner + kVersion + Progress(chunks - 1) + kFwDone);
    EXPECT_EQ(r.exit_status, 0);
    Frames expected = {{kFwStart, std::min<size_t>(size, 256)}};
    for (size_t at = 256; at < size; at += 256) expected.emplace_back(kFwNext, std::min<size_t>(size - at, 256));
    expected.insert(expected.end(), {{kFwEnd, 0}, {kReset, 0}});
    EXPECT_EQ(TransferFrames(expected.size()), expected);
    EXPECT_EQ(target_->FirmwareImage(), image);
    EXPECT_TRUE(target_->FirmwareEnded());
  }
}

TEST_F(UpdateTest, NothingToSendFailsWithoutWaiting) {
  StartTarget();
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"-fw", WriteFile("empty.bin", {})}, kFwFailed},
      {{"-fw", (dir_.path() / "missing.bin").string()}, kFwNotStarted},
      {{"-fw", dir_.path().string()}, kFwNotStarted},
      {{}, kClosing + "\nFW file not defined\n" + kClosing},
  };
  for (const auto& [extra, out] : cases) {
    SCOPED_TRACE(::testing::PrintToString(extra));
    std::vector<std::string> args = {"-p", "RX5120", "-cmd", "update"};
    args.insert(args.end(), extra.begin(), extra.end());
    const auto start = Clock::now();
    auto r = Run(args);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));  // not the 60 s answer wait
    EXPECT_EQ(r.out, kBanner + kVersion + out);
    EXPECT_EQ(r.exit_status, 1);
  }
  // Only the start-up exchanges reached the target.
  EXPECT_TRUE(target_->WaitForFrames(8, std::chrono::seconds(5)));
  EXPECT_FALSE(target_->WaitForFrames(9, milliseconds(200)));
}

TEST_F(UpdateTest, RefusedStepEndsTheWaitAtOnce) {
  const std::tuple<uint16_t, std::string, Frames> cases[] = {
      {kFwStart, "", {{kFwStart, 256}, {kReset, 0}}},
      {kFwNext, Progress(1), {{kFwStart, 256}, {kFwNext, 256}}},
      {kFwEnd, Progress(3), {{kFwStart, 256}, {kFwNext, 256}, {kFwNext, 256}, {kFwNext, 256}, {kFwEnd, 0}, {kReset, 0}}},
  };
  for (const auto& [refused, progress, frames] : cases) {
    SCOPED_TRACE(refused);
    StartTarget();
    target_->SetFault(refused, Fault([](sim::Fault& f) { f.result = 1; }));
    const auto start = Clock::now();
    auto r = Update(WriteFile("fw.bin", Pattern(1024, 3)));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(r.out, kBanner + kVersion + progress + kFwFailed);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(TransferFrames(frames.size()), frames);
  }
}

TEST_F(UpdateTest, TheWaitRunsFromTheLastAnswer) {
  StartTarget();
  target_->SetFault(kFwNext, Fault([](sim::Fault& f) { f.delay_ms = 60; }));
  extra_env_.push_back({"HALVERN_WAIT_MS", "250"});
  // Seven answers 60 ms apart take far longer than one wait.
  auto r = Update(WriteFile("fw.bin", Pattern(2048, 4)));
  EXPECT_EQ(r.out, kBanner + kVersion + Progress(7) + kFwDone);
  EXPECT_EQ(r.exit_status, 0);
}

TEST_F(UpdateTest, TargetThatFallsSilentOrHangsUpMidTransfer) {
  extra_env_.push_back({"HALVERN_WAIT_MS", "300"});
  for (bool hang_up : {false, true}) {
    SCOPED_TRACE(hang_up ? "hangs up" : "falls silent");
    StartTarget();
    // The second packet goes unanswered.
    sim::Fault fault;
    fault.no_answer = !hang_up;
    fault.hang_up = hang_up;
    fault.after = 1;
    target_->SetFault(kFwNext, fault);
    const auto start = Clock::now();
    auto r = Update(WriteFile("fw.bin", Pattern(2048, 5)));
    // A silent target is waited for; a line that is gone is not.
    if (!hang_up) {
      EXPECT_GE(Clock::now() - start, milliseconds(300));
    }
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(8));
    const std::string gone = hang_up ? "\n[ERROR] The repeater was disconnected\n" : "";
    EXPECT_EQ(r.out, kBanner + kVersion + Progress(2) + gone + kFwFailed);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(target_->ResetCount(), 0);
  }
}

TEST_F(UpdateTest, CounterReachesTheConsoleWhileTheTransferRuns) {
  StartTarget();
  target_->SetFault(kFwEnd, Fault([](sim::Fault& f) { f.delay_ms = 1500; }));
  platform::Child tool;
  ASSERT_TRUE(tool.Start({HALVERN_EXE, "-p", "RX5120", "-cmd", "update", "-fw", WriteFile("fw.bin", Pattern(600, 6))},
                         Env()));
  // Seen while the tool still waits for the end answer, not only when it exits.
  EXPECT_TRUE(tool.WaitForText("Update Start\nWriting:   0 Kb\rWriting:   0 Kb\r", 1000));
  EXPECT_EQ(tool.Finish(10000), 0);
}

TEST_F(UpdateTest, PillFilesArriveWithTheirPrefix) {
  for (size_t size : {0, 248, 249, 504, 1 << 20}) {
    SCOPED_TRACE(size);
    StartTarget();
    const Bytes pill = Pattern(size, static_cast<unsigned>(size) + 7);
    auto r = Pill(WriteFile("pill.bin", pill));
    const Bytes prefix = {7, 0, 0, 0, uint8_t(size), uint8_t(size >> 8), uint8_t(size >> 16), 0};
    Frames expected = {{kPillStart, 12}};
    for (size_t at = 0; size && at < size + 8; at += 256) expected.emplace_back(kPillNext, std::min<size_t>(size + 8 - at, 256));
    expected.emplace_back(kPillEnd, 0);
    EXPECT_EQ(r.out, kBanner + kVersion + Progress(expected.size() - 2) + kPillDone);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(TransferFrames(expected.size()), expected);
    Bytes start = {0x13, 4, 7, 0, 0, 0, 0x13, 4};
    start.insert(start.end(), prefix.begin() + 4, prefix.end());
    EXPECT_EQ(target_->Received()[2].params, start);
    Bytes image = size ? prefix : Bytes{};
    image.insert(image.end(), pill.begin(), pill.end());
    EXPECT_EQ(target_->PillImage(), image);
    EXPECT_TRUE(target_->PillEnded());
  }
}

TEST_F(UpdateTest, PillFailuresEndAtOnce) {
  const std::string missing = (dir_.path() / "nope").string();
  const std::tuple<uint16_t, std::string, Frames> cases[] = {
      {kPillStart, kPillFailed, {{kPillStart, 12}, {kReset, 0}}},
      {kPillNext, "Update Start\n" + kPillFailed, {{kPillStart, 12}, {kPillNext, 256}}},
      {kPillEnd, Progress(2) + kPillFailed, {{kPillStart, 12}, {kPillNext, 256}, {kPillNext, 52}, {kPillEnd, 0}}},
      {0, "cmPillUpdStart ERROR:2 Unable to open file " + missing + "\n\n[ERROR]\tPILL Update was not started sucessfully!\n", {}},
  };
  for (const auto& [refused, out, frames] : cases) {
    SCOPED_TRACE(refused);
    StartTarget();
    if (refused) target_->SetFault(refused, Fault([](sim::Fault& f) { f.result = 2; }));
    const auto start = Clock::now();
    auto r = Pill(refused ? WriteFile("pill.bin", Pattern(300, 9)) : missing);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(r.out, kBanner + kVersion + out);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(TransferFrames(frames.size()), frames);
  }
  // A link that does not come up is a failure too.
  extra_env_.push_back({"HALVERN_DEV_ROOT", (dir_.path() / "empty").string()});
  auto r = Pill("x");
  EXPECT_EQ(r.out, kBanner + "cmbs_api_Init FAILED!\n");
  EXPECT_EQ(r.exit_status, 1);
  r = Update("x");
  EXPECT_EQ(r.exit_status, 1);
}

TEST_F(UpdateTest, DateStampRules) {
  const std::string kRefused = "Invalid PILL date!\n" + kUsage;
  const std::tuple<const char*, std::string, Bytes> cases[] = {
      {"210315", "", {0x0F, 0x03, 0x15, 0x02}},
      {"210230", "", {30, 2, 21, 2}},  // the day is not checked against the month
      {"21 115", "", {15, 1, 21, 2}},  // " 1" reads as 1
      {"99121a", "", {1, 12, 99, 2}},  // "1a" reads as 1
      {"193112", "Invalid PILL year!\n" + kRefused, {}},
      {"-11201", "Invalid PILL year!\n" + kRefused, {}},
      {"211301", "Invalid PILL month!\n" + kRefused, {}},
      {"210001", "Invalid PILL month!\n" + kRefused, {}},
      {"211232", "Invalid PILL day!\n" + kRefused, {}},
      {"2112ab", "Invalid PILL day!\n" + kRefused, {}},
      {"21031", "Missing or invalid PILL date!\n" + kRefused, {}},
      {"2103150", "Missing or invalid PILL date!\n" + kRefused, {}},
      {nullptr, "Missing or invalid PILL date!\n" + kRefused, {}},
  };
  const Bytes original = Pattern(64, 10);
  for (const auto& [date, out, stamp] : cases) {
    SCOPED_TRACE(date ? date : "(none)");
    const std::string path = WriteFile("pill.bin", original);
    std::vector<std::string> args = {"-cmd", "date2pill", "-lang", "2", "-pill", path};
    if (date) args.insert(args.end(), {"-pilldate", date});
    auto r = Run(args);
    EXPECT_EQ(r.out, kBanner + out);
    EXPECT_EQ(r.exit_status, stamp.empty() ? 1 : 0);
    Bytes expected = original;
    std::copy(stamp.begin(), stamp.end(), expected.begin() + 28);
    EXPECT_EQ(ReadFile(path), expected);
  }
}

TEST_F(UpdateTest, DateStampTouchesOnlyItsFourBytesOfAFileLongEnough) {
  auto stamp = [&](const std::string& path, const char* date) {
    return Run({"-cmd", "date2pill", "-lang", "3", "-pill", path, "-pilldate", date});
  };
  // Twice in a row: only the second stamp remains, every other byte as it was.
  const std::string path = WriteFile("pill.bin", Pattern(4096, 11));
  EXPECT_EQ(stamp(path, "240101").exit_status, 0);
  auto r = stamp(path, "251224");
  EXPECT_EQ(r.out, kBanner);
  EXPECT_EQ(r.exit_status, 0);
  Bytes expected = Pattern(4096, 11);
  std::copy_n(Bytes{24, 12, 25, 3}.begin(), 4, expected.begin() + 28);
  EXPECT_EQ(ReadFile(path), expected);

  const std::string missing = (dir_.path() / "missing.pill").string();
  r = stamp(missing, "240101");
  EXPECT_EQ(r.out, kBanner + "Couldn't open PILL file '" + missing + "'\n");
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_FALSE(std::filesystem::exists(missing));

  const std::string short_file = WriteFile("short.pill", Pattern(31, 12));
  r = stamp(short_file, "240101");
  EXPECT_EQ(r.out, kBanner);
  EXPECT_EQ(r.err, "halvern: PILL file '" + short_file + "' is too short for the date stamp (32 bytes needed)\n");
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(ReadFile(short_file), Pattern(31, 12));
  EXPECT_EQ(stamp(WriteFile("32.pill", Pattern(32, 13)), "240101").exit_status, 0);
}

}  // namespace
}  // namespace e2e
