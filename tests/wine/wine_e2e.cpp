// The Windows executable as a user runs it, under wine, against the simulated target.
//
// The target runs natively on a pseudo-terminal; wine sees that terminal as COM5 (a dosdevices
// link) and finds it through the usbser keys that run.sh writes into the prefix. Console output
// is compared byte for byte, as a Windows console program writes it (text mode: CR LF line
// ends), and the target side is checked through the simulator.
//
// Environment (set by run.sh): WINEPREFIX (a prepared prefix), HALVERN_WIN_EXE (halvern.exe),
// HALVERN_WIN_TESTS_EXE (the cross-built unit tests), HALVERN_WINE (the wine loader),
// HALVERN_WINESERVER.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <memory>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/child.h"
#include "platform/spawn.h"
#include "sim/sim_target.h"
#include "tests/piped_tool.h"
#include "tests/http_reader.h"

namespace wine_e2e {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr int kRunTimeoutMs = 60000;
constexpr int kConsoleWaitMs = 20000;

const std::string kRule = std::string(79, '=') + "\n";
const std::string kBanner = kRule + "\nHALVERN Software Administration Tool Version 1.01\n\n" + kRule + "\n";
const std::string kVersion = "Product: SW Version 01.02.0345\n\n" + kRule + "\n";
const std::string kTracerUsage =
    "USAGE:\n------------------\ns\t=>\t show logger configurations\nq\t=>\t quit\nh\t=>\t help\n\n";
const Bytes kHelloFrame = {0xDA, 0xDA, 0xDA, 0xDA, 0x08, 0x00, 0x00, 0x00, 0x01, 0xFF, 0x00, 0x00};
const Bytes kResetCommFrame = {0xDA, 0xDA, 0xDA, 0xDA, 0x08, 0x00, 0x00, 0x00, 0x05, 0xFF, 0x00, 0x00};

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// What a Windows console program's text-mode output makes of a text: every LF becomes CR LF.
std::string CrLf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// The path as the Windows program names it: drive Z: is the Linux root.
std::string WinPath(const fs::path& path) {
  std::string p = "Z:" + fs::absolute(path).string();
  for (char& c : p)
    if (c == '/') c = '\\';
  return p;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class WineTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    for (const char* name : {"WINEPREFIX", "HALVERN_WIN_EXE", "HALVERN_WINE", "HALVERN_WINESERVER"})
      if (Env(name).empty()) GTEST_FAIL() << name << " is not set: run tests/wine/run.sh";
  }

  void SetUp() override {
    std::random_device random;
    dir_ = fs::temp_directory_path() / ("halvern-wine-" + std::to_string(random()));
    fs::create_directories(dir_);
  }

  void TearDown() override {
    if (tool_) tool_->Finish(kConsoleWaitMs);
    // wineserver keeps watching the COM port's terminal for a while after the program ended;
    // it goes before the terminal does.
    platform::SpawnCapture({Env("HALVERN_WINESERVER"), "-k"}, WineEnv(), "", kRunTimeoutMs);
    std::error_code ec;
    fs::remove(Com5(), ec);
    fs::remove(Com6(), ec);
    fs::remove_all(NameFileDir(), ec);
    second_.reset();
    target_.reset();
    fs::remove_all(dir_, ec);
  }

  // A target the program finds as COM5.
  void StartTarget(sim::Config config = {}) {
    target_ = std::make_unique<sim::Target>(config);
    ASSERT_TRUE(target_->Start()) << target_->LastError();
    std::error_code ec;
    fs::remove(Com5(), ec);
    fs::create_symlink(target_->DevicePath(), Com5(), ec);
    ASSERT_FALSE(ec) << ec.message();
  }

  // A second target, found as COM6 with the serial number RX5120-0002.
  void StartSecondTarget(sim::Config config = {}) {
    second_ = std::make_unique<sim::Target>(config);
    ASSERT_TRUE(second_->Start()) << second_->LastError();
    std::error_code ec;
    fs::remove(Com6(), ec);
    fs::create_symlink(second_->DevicePath(), Com6(), ec);
    ASSERT_FALSE(ec) << ec.message();
  }

  static fs::path Com5() { return fs::path(Env("WINEPREFIX")) / "dosdevices" / "com5"; }
  static fs::path Com6() { return fs::path(Env("WINEPREFIX")) / "dosdevices" / "com6"; }
  // C:\rx4000, where the tracer looks for its message-ID name file.
  static fs::path NameFileDir() { return fs::path(Env("WINEPREFIX")) / "drive_c" / "rx4000"; }

  std::vector<std::pair<std::string, std::string>> WineEnv() const {
    return {{"WINEPREFIX", Env("WINEPREFIX")}, {"WINEDEBUG", "-all"}, {"LD_PRELOAD", HALVERN_TIOCM_SHIM}};
  }

  std::vector<std::string> Command(std::vector<std::string> args) const {
    args.insert(args.begin(), {Env("HALVERN_WINE"), Env("HALVERN_WIN_EXE")});
    return args;
  }

  platform::SpawnResult Run(std::vector<std::string> args, const std::string& input = "") {
    auto r = platform::SpawnCapture(Command(std::move(args)), WineEnv(), input, kRunTimeoutMs);
    EXPECT_FALSE(r.timed_out);
    return r;
  }

  // An interactive run in dir_ with keys fed while it runs.
  void StartTool(std::vector<std::string> args) {
    tool_ = std::make_unique<platform::Child>();
    ASSERT_TRUE(tool_->Start(Command(std::move(args)), WineEnv(), dir_.string()));
  }
  void WaitForOutput(const std::string& text) {
    ASSERT_TRUE(tool_->WaitForText(text, kConsoleWaitMs)) << "waiting for: " << text << "\noutput so far:\n"
                                                           << tool_->Out();
  }

  fs::path Write(const std::string& name, const std::string& content) const {
    std::ofstream(dir_ / name, std::ios::binary) << content;
    return dir_ / name;
  }

  std::vector<uint16_t> ReceivedEvents() const {
    std::vector<uint16_t> ids;
    for (const auto& f : target_->Received()) ids.push_back(f.event_id);
    return ids;
  }

  fs::path dir_;
  std::unique_ptr<sim::Target> target_;
  std::unique_ptr<sim::Target> second_;
  std::unique_ptr<platform::Child> tool_;
};

TEST_F(WineTest, VersionFromTheRegistryPortAndTheHelloReply) {
  StartTarget();
  auto r = Run({"-p", "RX5120", "-cmd", "version"});
  EXPECT_EQ(r.out, CrLf(kBanner + kVersion));
  EXPECT_EQ(r.exit_status, 0);
  ASSERT_TRUE(target_->WaitForFrames(2, seconds(5)));
  EXPECT_EQ(target_->ReceivedBytes(), Cat({kHelloFrame, kResetCommFrame}));
}

TEST_F(WineTest, NoisyAnswerInSingleBytesAtTheRealLineRate) {
  sim::Config config;
  config.paced = true;
  StartTarget(config);
  sim::Fault noisy;
  noisy.noise = {0x01, 0xDA, 0xDA, 0xDA, 0x00, 0xDA, 0xDA, 0xDA, 0xDA, 0x02, 0x00};  // a false start, a bad length
  noisy.split = true;
  target_->SetFault(0xFF01, noisy);
  auto r = Run({"-p", "RX5120", "-cmd", "version"});
  EXPECT_EQ(r.out, CrLf(kBanner + kVersion));
  EXPECT_EQ(r.exit_status, 0);
}

TEST_F(WineTest, AnUnknownProductIsRefused) {
  auto r = Run({"-p", "RX9999", "-cmd", "version"});
  EXPECT_EQ(r.exit_status, 255);
}

TEST_F(WineTest, FactoryResetReachesTheTargetBeforeTheProgramEnds) {
  StartTarget();
  auto r = Run({"-p", "RX5120", "-cmd", "fact_reset"});
  EXPECT_EQ(r.out, CrLf(kBanner));
  EXPECT_EQ(r.exit_status, 0);
  ASSERT_TRUE(target_->WaitForEvent(0x000C, seconds(5)));
  EXPECT_EQ(target_->FactoryResetCount(), 1);
  const Bytes request = {0xDA, 0xDA, 0xDA, 0xDA, 0x0F, 0x00, 0x00, 0x00, 0x0C, 0x00,
                         0x07, 0x00, 0x0E, 0x05, 0x0C, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(target_->ReceivedBytes(), Cat({kHelloFrame, kResetCommFrame, request}));
}

TEST_F(WineTest, FirmwareUpdateOfAFewKilobytes) {
  StartTarget();
  Bytes image(5000);
  std::mt19937 random(5000);
  for (auto& b : image) b = static_cast<uint8_t>(random());
  const fs::path file = dir_ / "fw.bin";
  std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), std::ssize(image));

  auto r = Run({"-p", "RX5120", "-cmd", "update", "-fw", WinPath(file)});
  std::string progress = "Update Start\n";
  const size_t chunks = (image.size() + 255) / 256;
  for (size_t i = 1; i < chunks; ++i) {
    char line[32];
    std::snprintf(line, sizeof line, "Writing: %3d Kb\r", static_cast<int>(i * 256 / 1024));
    progress += line;
  }
  const std::string closing = "\n" + kRule + "\n";
  EXPECT_EQ(r.out, CrLf(kBanner + kVersion + progress + closing + "\nFW Update successfully finished\n" + closing));
  EXPECT_EQ(r.exit_status, 0);
  ASSERT_TRUE(target_->WaitForEvent(0x001C, seconds(5)));
  EXPECT_EQ(target_->FirmwareImage(), image);
  EXPECT_TRUE(target_->FirmwareEnded());
  EXPECT_EQ(target_->ResetCount(), 1);
  std::vector<uint16_t> expected = {0xFF01, 0xFF05, 0x000E};
  expected.insert(expected.end(), chunks - 1, 0x0010);
  expected.insert(expected.end(), {0x0012, 0x001C});
  EXPECT_EQ(ReceivedEvents(), expected);
}

TEST_F(WineTest, ParamGetWritesItsOutputFileBesideTheSettings) {
  StartTarget();
  target_->SetParamArea(16, {0x7F});
  target_->SetParamArea(32, {0x12, 0x34});
  target_->SetParamArea(64, {1, 2, 3, 4, 5});
  // In a folder whose name has a dot: the name is cut in the file name, after the last backslash.
  fs::create_directory(dir_ / "set.d");
  const std::string settings =
      WinPath(Write("set.d/get.txt", "# read back\r\n16:b:\r\n0x0020:w:0\r\n0x0040:a:5\r\n"));
  const std::string out = settings.substr(0, settings.size() - 4) + "_01_02_0345.out";
  auto r = Run({"-p", "RX5120", "-cmd", "param_get", "-settings", settings});
  EXPECT_EQ(r.out, CrLf(kBanner + kVersion + "OPEN: " + settings + " => OUT: " + out + "\n\n" +
                        "# read back\n"
                        "adr   16, len  1 16:b:7F\n\n"
                        "adr   32, len  2 0x0020:w:1234\n\n"
                        "adr   64, len  5 0x0040:a:0102030405\n\n" +
                        kRule));
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(ReadText(dir_ / "set.d" / "get_01_02_0345.out"), CrLf("16:b:7F\n0x0020:w:1234\n0x0040:a:0102030405\n"));
  EXPECT_EQ(ReceivedEvents(), (std::vector<uint16_t>{0xFF01, 0xFF05, 0x0033, 0x0033, 0x0033}));
}

// Text files as Windows editors write them, and a port the registry lists that is not there:
// Notepad's "UTF-8 with BOM" (the mark is not part of the first line, which is sent),
// PowerShell's UTF-16 (refused by name before anything is sent), cmd's "echo a >f" (a blank
// the tracer keeps, and says why), listed ports whose devices are gone (each named on standard
// error).
TEST_F(WineTest, TextFilesAsWindowsEditorsWriteThemAndAMissingPort) {
  struct Row {
    const char* name;  // of the file the command reads, "" for none (and no repeater behind COM5 or COM6)
    std::string content;
    std::vector<std::string> args;  // "FILE" stands for the file's Windows path
    std::string out;                // all of standard output (CR LF added); "FILE" replaced
    std::string err;                // all of standard error; "FILE" replaced
    int status;
    std::vector<uint16_t> events;  // what reached the target
  };
  const std::string opened = kBanner + kVersion + "OPEN: FILE\n\n";
  const Row rows[] = {
      {"", "", {"-cmd", "version"},
       kBanner + "[ERROR] Couldn't initialize application.\nPlease check if target is connected and running!\n"
                 "\n[ERROR]\tTarget connectivity failed! Check COMPort is not used from other application\n\n" +
           kRule + "\n",
       "halvern: COM5 is listed but missing\n", 1, {}},
      {"", "", {"-cmd", "list"},
       kBanner + "PORT    SERIAL NUMBER  SW VERSION     DEVICE\nCOM5    5&123&0&1      not answering  COM5\n"
                 "COM6    RX5120-0002    not answering  COM6\n",
       "halvern: COM5 is listed but missing\nhalvern: COM6 is listed but missing\n", 1, {}},
      {"bom.txt", "\xEF\xBB\xBF" "16:b:7F\r\n", {"-cmd", "param_set", "-settings", "FILE"},
       opened + "adr   16, len  1 Data: 7F\n" + kRule, "", 0, {0xFF01, 0xFF05, 0x0035}},
      {"set.txt", std::string("\xFF\xFE" "1\0" "6\0" ":\0" "b\0" ":\0" "0\0" "0\0", 16),
       {"-cmd", "param_set", "-settings", "FILE"}, opened + kRule,
       "halvern: 'FILE' is UTF-16 text: save it as UTF-8 or ANSI\n", 1, {0xFF01, 0xFF05}},
      {"all.cfg", "a \r\n", {"-cmd", "tracer", "-tfile", "FILE"},
       kBanner + "main_tracer_user, 741: [ERROR]: Unknown parameter \"a \"\n",
       "halvern: line 1 of 'FILE' ends in a blank: tracer commands take none\n", 1, {0xFF01, 0xFF05}},
  };
  size_t frames = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name[0] ? row.name : row.args[1]);
    if (row.name[0] && !target_) StartTarget();
    const std::string path = row.name[0] ? WinPath(Write(row.name, row.content)) : "";
    auto fill = [&](std::string text) {
      for (size_t at = text.find("FILE"); at != std::string::npos; at = text.find("FILE", at + path.size()))
        text.replace(at, 4, path);
      return text;
    };
    std::vector<std::string> args = {"-p", "RX5120"};
    for (const std::string& a : row.args) args.push_back(fill(a));
    auto r = Run(args);
    EXPECT_EQ(r.out, CrLf(fill(row.out)));
    EXPECT_EQ(r.err, CrLf(fill(row.err)));
    EXPECT_EQ(r.exit_status, row.status);
    if (!target_) continue;
    frames += row.events.size();
    EXPECT_TRUE(target_->WaitForFrames(frames, seconds(5)));
    const std::vector<uint16_t> events = ReceivedEvents();
    ASSERT_GE(events.size(), frames - row.events.size());
    EXPECT_EQ(std::vector<uint16_t>(events.begin() + static_cast<long>(frames - row.events.size()), events.end()),
              row.events);
  }
  // The UTF-16 file would have written 00: the mark's value stays.
  EXPECT_EQ(target_->ParamArea(16, 1), std::vector<uint8_t>{0x7F});
}

// Paths in any script: a folder named in Cyrillic, and a path of over 300 characters, reach the
// program whole (UTF-8 is its ANSI code page, from its manifest): the firmware, the report, the
// settings with their output file beside them, and the tracer's file written with -tdir. (Under
// wine a long path opens in any form; Windows without LongPathsEnabled needs the \\?\ names the
// program gives it, which wine cannot show.)
TEST_F(WineTest, FilesInFoldersOfAnyNameAndLength) {
  StartTarget();
  target_->SetParamArea(16, {0x7F});
  const std::string long_folder = std::string(150, 'l') + "/" + std::string(150, 'm');
  for (const std::string& folder : {std::string("\xD0\x9F\xD1\x80\xD0\xBE\xD1\x88\xD0\xB8\xD0\xB2\xD0\xBA\xD0\xB0"), long_folder}) {
    SCOPED_TRACE(folder.size());
    fs::create_directories(dir_ / folder);
    const std::string fw = WinPath(Write(folder + "/fw.bin", std::string(600, 'F')));
    const std::string report = WinPath(dir_ / folder / "r.jsonl");
    auto r = Run({"-p", "RX5120", "-cmd", "update", "-fw", fw, "-report", report});
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_EQ(target_->FirmwareImage(), Bytes(600, 'F'));
    EXPECT_NE(ReadText(dir_ / folder / "r.jsonl").find("\"result\":\"ok\""), std::string::npos) << r.err;
    const std::string settings = WinPath(Write(folder + "/get.txt", "16:b:\r\n"));
    r = Run({"-p", "RX5120", "-cmd", "param_get", "-settings", settings});
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_EQ(ReadText(dir_ / folder / "get_01_02_0345.out"), CrLf("16:b:7F\n"));
    // The tracer's file, written into the folder given with -tdir.
    StartTool({"-p", "RX5120", "-cmd", "tracer", "-tfile", WinPath(Write("t.cfg", "m\r\n")), "-tdir",
               WinPath(dir_ / folder)});
    WaitForOutput(CrLf(kTracerUsage));
    ASSERT_TRUE(tool_->Send("q"));
    EXPECT_EQ(tool_->Finish(kConsoleWaitMs), 0) << tool_->Out() << tool_->Err();
    size_t traces = 0;
    for (const auto& e : fs::directory_iterator(dir_ / folder))
      traces += e.path().filename().string().rfind("cmbs_dect_tracer-", 0) == 0;
    EXPECT_EQ(traces, 1u);
  }
}

// Two repeaters: COM5 (no USB serial number: its instance id ends in 5&123&0&1) and COM6
// (RX5120-0002), both in the usbser list run.sh writes.
TEST_F(WineTest, ListAndChoiceOfTwoRepeaters) {
  sim::Config newer;
  newer.product_version = 0x0200;
  newer.build = 0x00AB;
  StartTarget();
  StartSecondTarget(newer);
  const std::string header = "PORT    SERIAL NUMBER  SW VERSION     DEVICE\n";
  auto list = Run({"-p", "RX5120", "-cmd", "list"});
  EXPECT_EQ(list.out, CrLf(kBanner + header +
                           "COM5    5&123&0&1      01.02.0345     COM5\n"
                           "COM6    RX5120-0002    02.00.00ab     COM6\n"));
  EXPECT_EQ(list.exit_status, 0);

  auto chosen = Run({"-p", "RX5120", "-cmd", "version", "-sn", "RX5120-0002"});
  EXPECT_EQ(chosen.out, CrLf(kBanner + "Product: SW Version 02.00.00ab\n\n" + kRule + "\n"));
  EXPECT_EQ(chosen.exit_status, 0);
  auto by_port = Run({"-p", "RX5120", "-cmd", "version", "-port", "6"});
  EXPECT_EQ(by_port.out, chosen.out);
  // The list's link and the two chosen runs went to COM6; COM5 saw only the list's.
  EXPECT_EQ(target_->ReceivedBytes(), Cat({kHelloFrame, kResetCommFrame}));
  ASSERT_TRUE(second_->WaitForFrames(6, seconds(5)));
  EXPECT_EQ(second_->ReceivedBytes(), Cat({kHelloFrame, kResetCommFrame, kHelloFrame, kResetCommFrame, kHelloFrame,
                                           kResetCommFrame}));

  auto unknown = Run({"-p", "RX5120", "-cmd", "version", "-sn", "XYZ"});
  EXPECT_EQ(unknown.out, CrLf(kBanner + "[ERROR]No RX5120 with serial number XYZ\n"));
  EXPECT_EQ(unknown.exit_status, 255);
  auto no_port = Run({"-p", "RX5120", "-cmd", "version", "-port", "7"});
  EXPECT_EQ(no_port.out, CrLf(kBanner + "[ERROR]No RX5120 on COM7\n"));
  EXPECT_EQ(no_port.exit_status, 255);
}

// The block of one repeater in an -all run: from its header up to the next header or the summary.
std::string Block(const std::string& out, const std::string& header) {
  const size_t at = out.find(header);
  if (at == std::string::npos) return "";
  const size_t end = std::min(out.find("----- port ", at + 1), out.find("\r\nport  serial", at));
  return out.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

TEST_F(WineTest, VersionOfEveryRepeaterFromChildProcesses) {
  sim::Config newer;
  newer.product_version = 0x0200;
  newer.build = 0x00AB;
  StartTarget();
  StartSecondTarget(newer);
  auto r = Run({"-p", "RX5120", "-cmd", "version", "-all"});
  EXPECT_EQ(r.exit_status, 0) << r.out;
  EXPECT_EQ(Block(r.out, "----- port 5, serial 5&123&0&1 -----\r\n"),
            "----- port 5, serial 5&123&0&1 -----\r\n" + CrLf(kBanner + kVersion));
  EXPECT_EQ(Block(r.out, "----- port 6, serial RX5120-0002 -----\r\n"),
            "----- port 6, serial RX5120-0002 -----\r\n" +
                CrLf(kBanner + "Product: SW Version 02.00.00ab\n\n" + kRule + "\n"));
  EXPECT_NE(r.out.find(CrLf("\nport  serial                version       result            bytes   seconds  after\n"
                            "   5  5&123&0&1             01.02.0345    ok                    0")),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("   6  RX5120-0002           02.00.00ab    ok                    0"), std::string::npos) << r.out;
}

// The batch file the manual shows, run through cmd: halvern's -1 is ERRORLEVEL -1, which
// "if %ERRORLEVEL% NEQ 0" sees; the batch stops at the first failure (one banner) and says the
// status it saw, or services the repeater through to the end (two banners).
TEST_F(WineTest, ABatchFileSeesEachKindOfFailureAndStops) {
  struct Row {
    const char* kind;
    bool target;
    const char* firmware;  // "" leaves -fw without a file: a usage error
    const char* last_line;
    int status;
  };
  const Row rows[] = {
      {"usage", true, "", "Servicing failed: halvern exit status -1", 1},
      {"no device", false, "fw.bin", "Servicing failed: halvern exit status 1", 1},
      {"failed transfer", true, "missing.bin", "Servicing failed: halvern exit status 1", 1},
      {"success", true, "fw.bin", "Repeater serviced.", 0},
  };
  std::string exe = WinPath(Env("HALVERN_WIN_EXE"));
  exe.insert(exe.begin(), '"');
  exe.push_back('"');
  const fs::path batch = Write("service.bat", CrLf("@echo off\n" + exe + " -p RX5120 -cmd update -fw %1\n"
                                                   "if %ERRORLEVEL% NEQ 0 goto failed\n" +
                                                   exe + " -p RX5120 -cmd version\n"
                                                   "if %ERRORLEVEL% NEQ 0 goto failed\n"
                                                   "echo Repeater serviced.\n"
                                                   "exit /b 0\n"
                                                   ":failed\n"
                                                   "echo Servicing failed: halvern exit status %ERRORLEVEL%\n"
                                                   "exit /b 1\n"));
  Write("fw.bin", std::string(600, '\x5A'));
  for (const Row& row : rows) {
    SCOPED_TRACE(row.kind);
    std::error_code ec;
    if (row.target) StartTarget();
    else fs::remove(Com5(), ec);
    std::vector<std::string> command = {Env("HALVERN_WINE"), "cmd", "/c", WinPath(batch)};
    if (*row.firmware) command.push_back(WinPath(dir_ / row.firmware));
    auto r = platform::SpawnCapture(command, WineEnv(), "", kRunTimeoutMs);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_status, row.status) << r.out;
    EXPECT_TRUE(r.out.ends_with(std::string(row.last_line) + "\r\n")) << r.out;
    size_t banners = 0;
    for (size_t at = r.out.find("HALVERN Software"); at != std::string::npos; at = r.out.find("HALVERN Software", at + 1))
      ++banners;
    EXPECT_EQ(banners, row.status == 0 ? 2u : 1u) << r.out;
    platform::SpawnCapture({Env("HALVERN_WINESERVER"), "-k"}, WineEnv(), "", kRunTimeoutMs);
    target_.reset();
  }
}

// On Windows --help names the manual the installer puts beside the programs and tells a batch
// file how to see the status 255.
TEST_F(WineTest, HelpNamesTheInstalledManualAndTheBatchFileTest) {
  const auto r = Run({"--help"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_NE(r.out.find("test \"if %ERRORLEVEL% NEQ 0\""), std::string::npos) << r.out;
  EXPECT_TRUE(r.out.ends_with(CrLf("\nManual: halvern.txt in the folder the programs are installed in "
                                   "(C:\\Program Files\\halvern\nunless chosen otherwise).\n")))
      << r.out;
  EXPECT_EQ(r.out.find("man halvern"), std::string::npos);
}

// -ondone through cmd: each repeater's hook sees its record's fields in its environment (the
// redirection first, so that cmd never reads "5>>" as a handle); -logdir names its logs in a way
// Windows takes.
TEST_F(WineTest, AHookOfAnAllRunRunsThroughCmdWithTheRecordsFields) {
  StartTarget();
  StartSecondTarget();
  const fs::path hook = dir_ / "hook.txt", logs = dir_ / "logs";
  auto r = Run({"-p", "RX5120", "-cmd", "version", "-all", "-logdir", WinPath(logs), "-ondone",
                ">>\"" + WinPath(hook) + "\" echo %HALVERN_PORT% %HALVERN_RESULT% %HALVERN_COMMAND%"});
  EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
  std::vector<std::string> lines;
  std::istringstream text(ReadText(hook));
  for (std::string line; std::getline(text, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, (std::vector<std::string>{"5 ok version\r", "6 ok version\r"})) << r.err;
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(logs)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  ASSERT_EQ(names.size(), 2u);
  EXPECT_TRUE(names[0].starts_with("COM5_") || names[0].starts_with("5_")) << names[0];
  EXPECT_TRUE(names[1].starts_with("RX5120-0002_")) << names[1];
  for (const std::string& name : names) EXPECT_TRUE(name.ends_with("Z.log")) << name;
}

TEST_F(WineTest, UpdateOfEveryRepeaterEachWithItsOwnImage) {
  StartTarget();
  StartSecondTarget();
  Bytes images[2] = {Bytes(3000), Bytes(4500)};
  std::mt19937 random(77);
  for (Bytes& image : images)
    for (auto& b : image) b = static_cast<uint8_t>(random());
  const char* ports[2] = {"5", "6"};
  for (int i = 0; i < 2; ++i)
    std::ofstream(dir_ / ("fw_" + std::string(ports[i]) + ".bin"), std::ios::binary)
        .write(reinterpret_cast<const char*>(images[i].data()), std::ssize(images[i]));

  auto r = Run({"-p", "RX5120", "-cmd", "update", "-fw", WinPath(dir_ / "fw_{port}.bin"), "-all"});
  EXPECT_EQ(r.exit_status, 0) << r.out;
  ASSERT_TRUE(target_->WaitForEvent(0x001C, seconds(5)));
  ASSERT_TRUE(second_->WaitForEvent(0x001C, seconds(5)));
  EXPECT_EQ(target_->FirmwareImage(), images[0]);
  EXPECT_EQ(second_->FirmwareImage(), images[1]);
  EXPECT_TRUE(target_->FirmwareEnded());
  EXPECT_TRUE(second_->FirmwareEnded());
  for (const char* header : {"----- port 5, serial 5&123&0&1 -----", "----- port 6, serial RX5120-0002 -----"})
    EXPECT_NE(Block(r.out, header).find("FW Update successfully finished"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("   5  5&123&0&1             01.02.0345    ok                 3000"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("   6  RX5120-0002           01.02.0345    ok                 4500"), std::string::npos)
      << r.out;
}

TEST_F(WineTest, ChildrenOfAnAllRunWhoseParentIsKilledStopAfterAWholeFrame) {
  sim::Config paced;
  paced.paced = true;
  paced.pace_host_bytes = true;
  StartTarget(paced);
  StartSecondTarget(paced);
  const fs::path image = Write("fw.bin", std::string(100000, 'F'));
  StartTool({"-p", "RX5120", "-cmd", "update", "-fw", WinPath(image), "-all"});
  ASSERT_TRUE(target_->WaitForFrames(12, seconds(60)));
  ASSERT_TRUE(second_->WaitForFrames(12, seconds(60)));
  ::kill(tool_->Pid(), SIGKILL);  // the parent ends without a word, as if terminated
  // Each child stops within a few seconds: its target hears nothing more.
  const auto deadline = std::chrono::steady_clock::now() + seconds(8);
  size_t heard = 0;
  for (;;) {
    std::this_thread::sleep_for(milliseconds(1500));
    const size_t now = target_->ReceivedBytes().size() + second_->ReceivedBytes().size();
    if (now == heard || std::chrono::steady_clock::now() > deadline) break;
    heard = now;
  }
  for (const sim::Target* target : {target_.get(), second_.get()}) {
    EXPECT_FALSE(target->FirmwareEnded());
    size_t framed = 0;
    for (const auto& frame : target->Received()) framed += frame.wire.size();
    EXPECT_EQ(framed, target->ReceivedBytes().size());
  }
  EXPECT_LT(target_->Received().size() + second_->Received().size(), 400u) << "the children ran on";
}

// -watch under Windows: repeaters come and go as the driver's list in the registry grows and shrinks.
TEST_F(WineTest, WatchServesEachRepeaterAsItsRegistryEntryComesAndGoes) {
  StartTarget();
  StartSecondTarget();
  auto listed = [&](int count) {
    const auto r = platform::SpawnCapture({Env("HALVERN_WINE"), "reg", "add",
                                           "HKLM\\System\\CurrentControlSet\\Services\\usbser\\Enum", "/v",
                                           "Count", "/t", "REG_DWORD", "/d", std::to_string(count), "/f"},
                                          WineEnv(), "", kRunTimeoutMs);
    ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  };
  struct Restore {  // the other tests find both repeaters listed
    std::function<void()> undo;
    ~Restore() { undo(); }
  } restore{[&] { listed(2); }};
  listed(0);
  StartTool({"-p", "RX5120", "-cmd", "version", "-watch"});
  WaitForOutput("Watching for RX5120 repeaters");
  listed(1);
  WaitForOutput("watch: port 5, serial 5&123&0&1 ended: ok");
  listed(2);
  WaitForOutput("watch: port 6, serial RX5120-0002 ended: ok");
  const size_t heard = second_->Received().size();
  listed(1);
  std::this_thread::sleep_for(milliseconds(1000));
  listed(2);
  WaitForOutput("watch: port 6, serial RX5120-0002 back again: served in this watch already, not served again");
  tool_->Interrupt();
  EXPECT_EQ(tool_->Wait(kConsoleWaitMs), 0) << tool_->Out();
  EXPECT_NE(tool_->Out().find("   6  RX5120-0002           01.02.0345    ok "), std::string::npos) << tool_->Out();
  EXPECT_EQ(second_->Received().size(), heard);  // served once
}

// `halvern ... -watch | tee` under Windows, and Ctrl-C: the watch is stopped and its output's
// reader goes away with it, in either order, or the reader goes alone (Windows cannot watch the
// pipe: the next line the watch writes fails). One action of the user is one stop: the repeater
// being updated is served to the end, nobody plugged in afterwards is taken.
TEST_F(WineTest, AWatchWhoseOutputReaderGoesWithTheStopFinishesTheFlash) {
  const struct {
    const char* what;
    bool reader_first, signal;
  } cases[] = {{"Ctrl-C, then the reader dies", false, true},
               {"the reader dies, then Ctrl-C", true, true},
               {"the reader dies alone", true, false}};
  const fs::path image = Write("fw.bin", std::string(48 * 1024, 'F'));
  const fs::path report = dir_ / "r.jsonl";
  auto listed = [&](int count) {
    const auto r = platform::SpawnCapture({Env("HALVERN_WINE"), "reg", "add",
                                           "HKLM\\System\\CurrentControlSet\\Services\\usbser\\Enum", "/v",
                                           "Count", "/t", "REG_DWORD", "/d", std::to_string(count), "/f"},
                                          WineEnv(), "", kRunTimeoutMs);
    ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  };
  struct Restore {  // the other tests find both repeaters listed
    std::function<void()> undo;
    ~Restore() { undo(); }
  } restore{[&] { listed(2); }};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sim::Config paced;
    paced.paced = paced.pace_host_bytes = true;
    StartTarget(paced);
    StartSecondTarget(paced);
    std::error_code ec;
    fs::remove(report, ec);
    listed(1);  // COM6 is plugged in only once the stop was seen

    int pipe_fds[2];
    ASSERT_EQ(::pipe2(pipe_fds, O_CLOEXEC), 0);
    e2e::PipedTool watch;
    ASSERT_TRUE(watch.Start(Command({"-p", "RX5120", "-cmd", "update", "-fw", WinPath(image), "-watch", "-report",
                                     WinPath(report)}),
                            WineEnv(), pipe_fds[1], pipe_fds[0]));
    ::close(pipe_fds[1]);  // the tool's is the only writing end left
    ASSERT_TRUE(target_->WaitForFrames(12, seconds(60))) << watch.Err();
    if (c.reader_first) watch.CloseReader();
    if (c.signal) {
      watch.Signal(SIGINT);
    } else {
      ASSERT_TRUE(watch.WaitForErr("halvern: standard output is gone: no new repeaters", kConsoleWaitMs)) << watch.Err();
    }
    if (!c.reader_first) {
      ASSERT_TRUE(watch.WaitForOut("Stop requested: no new repeaters; waiting for the 1 still working", kConsoleWaitMs))
          << watch.Err();
      watch.CloseReader();
    }
    listed(2);
    EXPECT_FALSE(target_->FirmwareEnded()) << "the newcomer came after the flash: the test proves nothing";

    EXPECT_EQ(watch.Wait(kRunTimeoutMs), 0) << watch.Err();
    EXPECT_TRUE(target_->FirmwareEnded());
    const std::string records = ReadText(report);
    EXPECT_NE(records.find("\"result\":\"ok\""), std::string::npos) << records;
    EXPECT_EQ(std::count(records.begin(), records.end(), '\n'), 1) << records;
    EXPECT_TRUE(second_->Received().empty());
    platform::SpawnCapture({Env("HALVERN_WINESERVER"), "-k"}, WineEnv(), "", kRunTimeoutMs);
  }
}

// One watch per station under Windows too: a named mutex, and the holder's process id beside it.
TEST_F(WineTest, ASecondWatchIsRefusedNamingTheFirst) {
  StartTarget();
  StartSecondTarget();
  StartTool({"-p", "RX5120", "-cmd", "version", "-watch"});
  WaitForOutput("Watching for RX5120 repeaters");
  const auto second = Run({"-p", "RX5120", "-cmd", "version", "-watch"});
  EXPECT_EQ(second.exit_status, 255) << second.out << second.err;
  const std::string said = "halvern: another watch serves the RX5120 repeaters of this station: process ";
  const size_t at = second.err.find(said);
  ASSERT_NE(at, std::string::npos) << second.err;
  EXPECT_NE(std::isdigit(static_cast<unsigned char>(second.err[at + said.size()])), 0) << second.err;
  EXPECT_EQ(second.out.find("Watching for"), std::string::npos) << second.out;
  tool_->Interrupt();
  tool_->Wait(kConsoleWaitMs);
  EXPECT_FALSE(tool_->TimedOut()) << tool_->Out();
  // Gone with its holder: the next watch starts.
  StartTool({"-p", "RX5120", "-cmd", "version", "-watch"});
  WaitForOutput("Watching for RX5120 repeaters");
  tool_->Interrupt();
  tool_->Wait(kConsoleWaitMs);
  EXPECT_FALSE(tool_->TimedOut()) << tool_->Out();
}

// A trace indication's elements: dst, src, mid, flags, data.
Bytes TraceIndication(uint8_t dst, uint8_t src, uint8_t mid, const Bytes& data) {
  const size_t n = data.size();
  Bytes b = {0x40, 0x01, dst, 0x40, 0x01, src, 0x40, 0x01, mid, 0x40, 0x01, 0x00,
             0x1B, uint8_t(n + 2), uint8_t((n + 2) >> 8), uint8_t(n), uint8_t(n >> 8)};
  b.reserve(b.size() + n);  // also keeps the compiler from a false out-of-bounds warning
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

std::string Unscramble(std::string text) {
  for (size_t k = 0; k < text.size(); ++k) text[k] = char(text[k] ^ "Q&Z"[k % 3]);
  return text;
}

std::string StatusBlock(const std::vector<std::string>& on, const std::string& filter) {
  const char* rows[] = {"ALL_TASKS   ", "MAC_TASK    ", "DLU_TASK    ", "DLC_TASK    ", "NWK_TASK    ",
                        "IWU_TASK    ", "REP_TASK    ", "DTB_TASK    ", "TERM_TASK   ", "CMBS_TASK   "};
  const std::string line = "---------------------------\n";
  std::string s = line;
  for (const char* row : rows) {
    bool is_on = false;
    for (const auto& o : on) is_on |= std::string(row).rfind(o, 0) == 0;
    s += std::string(row) + "----------> " + (is_on ? "on" : "off") + "\n";
  }
  return s + filter + line;
}

TEST_F(WineTest, TracerRecordsATraceEventAndSwitchesTheLoggerOff) {
  StartTarget();
  const fs::path config = Write("logger.cfg", "# layers\r\nm,u\r\n");
  StartTool({"-p", "RX5120", "-cmd", "tracer", "-tfile", WinPath(config)});
  WaitForOutput(CrLf(kTracerUsage));
  ASSERT_TRUE(target_->WaitForEvent(0x3801, seconds(10)));
  EXPECT_EQ(target_->LoggerMask(), 0x0003);

  const Bytes data(10, 0xEE);
  target_->PushTraceIndication(TraceIndication(2, 1, 83, data));
  // The status answer follows the event on the line: once its block is shown, the event is handled.
  const std::string block = StatusBlock({"MAC", "DLU"}, "MSG_FILTER  ----------> off\n");
  ASSERT_TRUE(tool_->Send("s"));
  WaitForOutput(CrLf(block));
  ASSERT_TRUE(tool_->Send("q"));
  EXPECT_EQ(tool_->Finish(kConsoleWaitMs), 0);
  EXPECT_EQ(tool_->Out(), CrLf(kBanner + kTracerUsage + "\n" + block));

  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(dir_))
    if (e.path().filename().string().rfind("cmbs_dect_tracer-", 0) == 0) files.push_back(e.path());
  ASSERT_EQ(files.size(), 1u);
  // The trace file is written through the file API, not as text: its CR LF are its own.
  std::string record = "BEGIN";
  const Bytes packet = Cat({{0x4C, 0x47, 2, 1, 83, 2, 10}, data});
  for (size_t i = 0; i < packet.size(); ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%.2X ", packet[i]);
    record += (i % 8 == 0 ? "\r\n" : "") + std::string(hex);
  }
  EXPECT_EQ(Unscramble(ReadText(files[0])), record + "\r\nEND\r\n\r\n");

  ASSERT_TRUE(target_->WaitForFrames(5, seconds(5)));
  EXPECT_EQ(ReceivedEvents(), (std::vector<uint16_t>{0xFF01, 0xFF05, 0x3801, 0x3802, 0x3801}));
  EXPECT_EQ(target_->LoggerSwitch(), 0);
}

TEST_F(WineTest, TracerNamesFilterIdsFromTheFixedNameFile) {
  StartTarget();
  const fs::path names = NameFileDir() / "logger.txt";
  fs::create_directories(NameFileDir());
  std::ofstream(names, std::ios::binary) << "MY_MSG, 200\r\nOTHER, 3\r\n";
  const fs::path config = Write("logger.cfg", "x200,3\r\n");
  StartTool({"-p", "RX5120", "-cmd", "tracer", "-tfile", WinPath(config)});
  WaitForOutput(CrLf(kTracerUsage));
  const std::string block =
      StatusBlock({}, "MSG_FILTER  ----------> on\n *200 ------->MY_MSG\n *  3 ------->OTHER\n");
  ASSERT_TRUE(tool_->Send("s"));
  WaitForOutput(CrLf(block));
  ASSERT_TRUE(tool_->Send("q"));
  EXPECT_EQ(tool_->Finish(kConsoleWaitMs), 0);
  EXPECT_EQ(tool_->Out(), CrLf(kBanner + kTracerUsage + "\n" + block));
}

// The repeater goes while the tracer waits for a key on a pipe that stays open: the tool ends by
// itself. The emulation cannot look into such a pipe, so the key wait must end without it.
TEST_F(WineTest, TracerEndsByItselfWhenTheRepeaterGoesWhileInputStaysOpen) {
  StartTarget();
  StartTool({"-p", "RX5120", "-cmd", "tracer", "-tfile", WinPath(Write("logger.cfg", "m\r\n"))});
  WaitForOutput(CrLf(kTracerUsage));
  ASSERT_TRUE(target_->WaitForEvent(0x3801, seconds(10)));
  target_->HangUp();
  EXPECT_EQ(tool_->Wait(kConsoleWaitMs), 1) << tool_->Out();
  EXPECT_FALSE(tool_->TimedOut());
  EXPECT_NE(tool_->Out().find("[ERROR] The repeater was disconnected"), std::string::npos) << tool_->Out();
}

// cmd leaves wildcards to the program: halvern-trace.exe opens the one file its operand
// matches, refuses two as it refuses two operands, and names a pattern that matches nothing.
TEST_F(WineTest, TraceReaderExpandsItsFileOperand) {
  if (Env("HALVERN_WIN_TRACE_EXE").empty()) GTEST_FAIL() << "HALVERN_WIN_TRACE_EXE is not set: run tests/wine/run.sh";
  Write("t-1.txt", "");
  Write("t-2.txt", "");
  const std::string d = WinPath(dir_) + "\\";
  const std::pair<std::string, std::string> rows[] = {
      {d + "t-1*", "halvern-trace: " + d + "t-1.txt: the file is empty, it holds no record\r\n"},
      {d + "t-*.txt", "halvern-trace: more than one trace file given\r\n(try halvern-trace -h)\r\n"},
      {d + "x-*.txt", "halvern-trace: cannot open " + d + "x-*.txt: "},
  };
  for (const auto& [operand, err] : rows) {
    const auto r = platform::SpawnCapture({Env("HALVERN_WINE"), Env("HALVERN_WIN_TRACE_EXE"), operand}, WineEnv(), "",
                                          kRunTimeoutMs);
    EXPECT_TRUE(r.err.starts_with(err)) << operand << ": " << r.err;
    EXPECT_EQ(r.exit_status, err.find("empty") != std::string::npos ? 0 : 2) << operand;
  }
}

// halvern-extcap.exe: the interface list from the registry, and a capture into a file that
// ends when the repeater goes away, with every packet that came before it.
TEST_F(WineTest, ExtcapListsTheRepeatersAndCapturesUntilTheLineGoes) {
  if (Env("HALVERN_WIN_EXTCAP_EXE").empty()) GTEST_FAIL() << "HALVERN_WIN_EXTCAP_EXE is not set: run tests/wine/run.sh";
  StartTarget();
  auto list = platform::SpawnCapture({Env("HALVERN_WINE"), Env("HALVERN_WIN_EXTCAP_EXE"), "--extcap-interfaces"},
                                     WineEnv(), "", kRunTimeoutMs);
  EXPECT_EQ(list.out, "extcap {version=1.1}{display=RX5120 DECT trace}\n"
                      "interface {value=halvern-5}{display=RX5120 DECT trace: COM5, serial 5&123&0&1}\n"
                      "interface {value=halvern-6}{display=RX5120 DECT trace: COM6, serial RX5120-0002}\n");
  EXPECT_EQ(list.exit_status, 0);

  const fs::path capture = dir_ / "live.pcap";
  tool_ = std::make_unique<platform::Child>();
  ASSERT_TRUE(tool_->Start({Env("HALVERN_WINE"), Env("HALVERN_WIN_EXTCAP_EXE"), "--capture", "--extcap-interface",
                            "halvern-5", "--fifo", WinPath(capture), "--logger", "m,u"},
                           WineEnv(), dir_.string()));
  ASSERT_TRUE(target_->WaitForEvent(0x3801, seconds(20))) << tool_->Err();
  EXPECT_EQ(target_->LoggerMask(), 0x0003);
  target_->PushTraceIndication(TraceIndication(2, 1, 83, {1, 2, 3}));
  target_->PushTraceIndication(TraceIndication(4, 5, 101, Bytes(10, 0xEE)));
  const std::string packet1 = "LG\x02\x01\x53\x02\x03\x01\x02\x03";
  const std::string packet2 = std::string("LG\x04\x05\x65\x04\x0A", 7) + std::string(10, '\xEE');
  // 24-byte file header, then a 16-byte record header before each packet.
  const size_t expected_size = 24 + 16 + packet1.size() + 16 + packet2.size();
  for (int i = 0; i < 200 && ReadText(capture).size() < expected_size; ++i) std::this_thread::sleep_for(milliseconds(50));
  target_->HangUp();
  EXPECT_EQ(tool_->Finish(kConsoleWaitMs), 1);
  EXPECT_NE(tool_->Err().find("[ERROR] The repeater was disconnected"), std::string::npos) << tool_->Err();
  const std::string pcap = ReadText(capture);
  ASSERT_EQ(pcap.size(), expected_size);
  EXPECT_EQ(pcap.substr(0, 4), "\xD4\xC3\xB2\xA1");
  EXPECT_EQ(pcap.substr(20, 4), std::string("\x93\0\0\0", 4));
  EXPECT_EQ(pcap.substr(24 + 16, packet1.size()), packet1);
  EXPECT_EQ(pcap.substr(24 + 16 + packet1.size() + 16), packet2);
}

// The serial port's own cases on a live line (tests/wine/win32_serial_line_test.cpp), run from the
// cross-built unit tests against the target on COM5.
class WineSerialLineTest : public WineTest {
 protected:
  void StartCase(const std::string& name, std::vector<std::pair<std::string, std::string>> env = {}) {
    if (Env("HALVERN_WIN_TESTS_EXE").empty()) GTEST_FAIL() << "HALVERN_WIN_TESTS_EXE is not set: run tests/wine/run.sh";
    env.insert(env.end(), {{"HALVERN_LINE_TEST_PORT", "5"}});
    auto all = WineEnv();
    all.insert(all.end(), env.begin(), env.end());
    tool_ = std::make_unique<platform::Child>();
    ASSERT_TRUE(tool_->Start({Env("HALVERN_WINE"), Env("HALVERN_WIN_TESTS_EXE"), "--gtest_filter=Win32SerialLineTest." + name},
                             all, dir_.string()));
  }
  void ExpectCasePassed() {
    EXPECT_EQ(tool_->Finish(kRunTimeoutMs), 0) << tool_->Out() << tool_->Err();
    EXPECT_NE(tool_->Out().find("[  PASSED  ] 1 test."), std::string::npos) << tool_->Out();
    EXPECT_EQ(tool_->Out().find("Unhandled exception"), std::string::npos) << tool_->Out();
    EXPECT_EQ(tool_->Err().find("Unhandled exception"), std::string::npos) << tool_->Err();
  }
};

TEST_F(WineSerialLineTest, HangUpUnderARunningPortIsKnownAsGone) {
  StartTarget();
  StartCase("HungUpLineIsAnnouncedOnceAndNeverTouchedAgain");
  ASSERT_TRUE(target_->WaitForEvent(0xFF01, seconds(30))) << tool_->Out();
  std::this_thread::sleep_for(milliseconds(300));  // the answer is read before the line goes
  target_->HangUp();
  ExpectCasePassed();
}

TEST_F(WineSerialLineTest, EventWaitsThatFinishLongAfterTheirCancelHarmNothing) {
  StartTarget();
  StartCase("OpenAndCloseWithWaitsThatFinishLate", {{"HALVERN_SHIM_TIOCMGET_DELAY_MS", "2500"}});
  ExpectCasePassed();
}


// -http under Windows: the page, its JSON, its event stream and a log of the run, served by
// halvern.exe and read from Linux over loopback while the watch goes on.
TEST_F(WineTest, AWatchServesItsPageStateAndLogsReadFromLinux) {
  StartTarget();
  StartSecondTarget();
  const fs::path image = Write("fw.bin", std::string(3000, 'W'));
  const fs::path logs = dir_ / "logs";
  fs::create_directories(logs);
  StartTool({"-p", "RX5120", "-cmd", "update", "-fw", WinPath(image), "-watch", "-http", "127.0.0.1:0", "-logdir",
             WinPath(logs)});
  static const std::regex said(R"(halvern: the station's page is at http://127\.0\.0\.1:(\d+)/\r?\n)");
  std::smatch m;
  ASSERT_TRUE(tool_->WaitForOutput([&](const std::string&) { return std::regex_search(tool_->Err(), m, said); },
                                   kConsoleWaitMs))
      << tool_->Err();
  const int port = std::stoi(m[1]);
  WaitForOutput("watch: port 5, serial 5&123&0&1 ended: ok");
  WaitForOutput("watch: port 6, serial RX5120-0002 ended: ok");

  const e2e::HttpAnswer state = e2e::HttpGet(port, "/api/state");
  ASSERT_EQ(state.status, 200) << state.headers;
  EXPECT_EQ(state.Header("Content-Type"), "application/json");
  EXPECT_NE(state.body.find(R"("ok":2,"failed":0,"working":0,"skipped":0,"records":2)"), std::string::npos)
      << state.body;
  // The repeater on COM5 has no USB serial number: the instance id Windows made up is not one.
  for (const char* unit : {R"("port":5,"serial":null,)", R"("port":6,"serial":"RX5120-0002",)"})
    EXPECT_NE(state.body.find(unit + std::string(R"("state":"ok","bytes":3000,"total":3000,"percent":100,)")),
              std::string::npos)
        << unit << ": " << state.body;
  EXPECT_NE(state.body.find(R"("version_before":"01.02.0345")"), std::string::npos) << state.body;

  const e2e::HttpAnswer page = e2e::HttpGet(port, "/");
  EXPECT_EQ(page.status, 200);
  EXPECT_EQ(page.Header("Content-Type"), "text/html; charset=utf-8");
  EXPECT_NE(page.body.find(R"(<span class="serial">RX5120-0002</span></h2><p class="state">ok</p>)"),
            std::string::npos);
  EXPECT_NE(page.body.find(R"(<span class="port">COM5</span>)"), std::string::npos);

  // The log of a unit, by the name its tile links to: the file the child wrote under Windows.
  static const std::regex link(R"re("serial":"RX5120-0002"[^}]*"log":"(/logs/[^"]+)")re");
  std::smatch log;
  ASSERT_TRUE(std::regex_search(state.body, log, link)) << state.body;
  const e2e::HttpAnswer served = e2e::HttpGet(port, log[1].str());
  EXPECT_EQ(served.status, 200);
  EXPECT_NE(served.body.find("FW Update successfully finished"), std::string::npos) << served.body;
  // Windows takes a backslash for a separator: it names no file outside the logs either.
  EXPECT_EQ(e2e::HttpGet(port, "/logs/..%5C..%5Cfw.bin").status, 404);

  // The stream's first event is the state as it stands.
  std::string stream;
  e2e::HttpGet(port, "/events", [&](const std::string& data) {
    stream += data;
    return stream.find("\n\n") == std::string::npos;
  });
  EXPECT_EQ(stream.rfind("event: state\ndata: {\"run\":", 0), 0u) << stream;
  EXPECT_NE(stream.find(R"("serial":"RX5120-0002","state":"ok")"), std::string::npos) << stream;

  tool_->Interrupt();
  EXPECT_EQ(tool_->Wait(kConsoleWaitMs), 0) << tool_->Out() << tool_->Err();
}

}  // namespace
}  // namespace wine_e2e
