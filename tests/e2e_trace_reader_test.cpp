// halvern-trace on what a tracer run against the simulated target recorded: every event read
// back, the text and the pcap views, name files, and damaged files.
//
// With HALVERN_TRACE_PCAP_OUT set, the pcap of the tracer run is also copied there (CI reads it
// with the Wireshark dissector).
#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

#include "platform/file_io.h"
#include "tests/e2e_console.h"
#include "trace_reader/trace_output.h"
#include "trace_reader/trace_reader.h"

namespace e2e {
namespace {

using Bytes = std::vector<uint8_t>;

const std::string kUsage =
    "USAGE:\n------------------\ns\t=>\t show logger configurations\nq\t=>\t quit\nh\t=>\t help\n\n";
const std::string kLine = "---------------------------\n";

Bytes Sequence(size_t n, uint8_t first) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(first + i);
  return b;
}

// A traced message as the target reports it, and the packets the trace file must hold for it.
struct Traced {
  uint8_t dst, src, mid, flags, offsets;
  Bytes data;
  std::vector<Bytes> packets;
};

Bytes TraceInd(const Traced& t) {
  auto u8 = [](uint8_t v) { return Bytes{0x40, 0x01, v}; };
  Bytes b = Concat({u8(t.dst), u8(t.src), u8(t.mid), u8(t.flags)});
  if (t.flags & 0x02) b = Concat({b, u8(t.offsets)});
  const size_t n = t.data.size();
  return Concat({b, {0x1B, uint8_t(n + 2), uint8_t((n + 2) >> 8), uint8_t(n), uint8_t(n >> 8)}, t.data});
}

std::vector<Traced> Messages() {
  const Bytes eight = {9, 8, 4, 1, 2, 3, 4, 5};
  const Bytes big = Sequence(256, 0x10);
  return {
      {2, 1, 83, 0x00, 0x00, {1, 2, 3}, {{0x4C, 0x47, 2, 1, 83, 2, 3, 1, 2, 3}}},
      {2, 1, 83, 0x07, 0x21, eight,
       {Concat({{0x4C, 0x47, 2, 1, 83, 2, 8}, eight}), {1, 0, 2, 1, 83, 1, 0x10, 8, 4, 1, 2}}},
      {7, 8, 9, 0x03, 0x21, eight,
       {Concat({{0x4C, 0x47, 7, 8, 9, 7, 8}, eight}), {0, 1, 7, 8, 9, 7, 0x10, 8, 4, 1, 2}}},
      {4, 5, 101, 0x00, 0x00, Bytes(10, 0xEE), {Concat({{0x4C, 0x47, 4, 5, 101, 4, 10}, Bytes(10, 0xEE)})}},
      {1, 2, 3, 0x00, 0x00, {}, {{0x4C, 0x47, 1, 2, 3, 1, 0}}},
      {3, 4, 200, 0x02, 0x30, big,
       {Concat({{0x4C, 0x47, 3, 4, 200, 3, 0}, big}),
        Concat({{1, 0, 3, 4, 200, 3, uint8_t(0x13 * 4)}, Bytes(big.begin(), big.begin() + 0x13)})}},
  };
}

std::string Names(uint8_t mid) {
  switch (mid) {
    case 3: return "MID_TIMER_ALERT";
    case 9: return "MID_IWU_LLME_U_CON_TONE";
    case 83: return "MID_IWU_CC_SETUP";
    case 101: return "MID_LLME_FRAME_TRACE";
    default: return "Unknown";
  }
}

trace_reader::Record RecordOf(const Bytes& packet, uint64_t number) {
  trace_reader::Record r;
  r.number = number;
  r.size = packet.size();
  std::copy(packet.begin(), packet.end(), r.bytes);
  return r;
}

std::string Unscrambled(std::string text) {
  trace_reader::Unscramble(text.data(), text.size(), 0);
  return text;
}

// The records for these packets as the tracer writes them, scrambled from file offset `offset`.
std::string Scrambled(const std::vector<Bytes>& packets, uint64_t offset = 0) {
  std::string text;
  char hex[4];
  for (const Bytes& p : packets) {
    text += "BEGIN";
    for (size_t i = 0; i < p.size(); ++i) {
      if (i % 8 == 0) text += "\r\n";
      std::snprintf(hex, sizeof hex, "%.2X ", p[i]);
      text += hex;
    }
    text += "\r\nEND\r\n\r\n";
  }
  trace_reader::Unscramble(text.data(), text.size(), offset);
  return text;
}

std::vector<Bytes> AllPackets() {
  std::vector<Bytes> packets;
  for (const Traced& t : Messages()) packets.insert(packets.end(), t.packets.begin(), t.packets.end());
  return packets;
}

std::string Line(const Bytes& packet, uint64_t number) {
  return trace_reader::FormatRecord(RecordOf(packet, number), Names(packet[4]));
}

class TraceReaderE2eTest : public ConsoleTest {
 protected:
  platform::SpawnResult Trace(std::vector<std::string> args, int timeout_ms = 15000) {
    args.insert(args.begin(), HALVERN_TRACE_EXE);
    return platform::SpawnCapture(args, trace_env_, "", timeout_ms);
  }

  // Runs the tracer, has the target report `messages`, quits, and returns the trace file.
  std::filesystem::path RecordTrace(const std::vector<Traced>& messages) {
    StartTarget();
    const auto config = WriteFile("logger.cfg", "a\n");
    StartTool({"-p", "RX5120", "-cmd", "tracer", "-tfile", config.string()});
    WaitForOutput(kUsage);
    if (HasFatalFailure()) return {};
    for (const Traced& t : messages) target_->PushTraceIndication(TraceInd(t));
    // The status answer comes after the events on the line: once it is shown, all are written.
    Keys("s");
    WaitForOutput(kLine + "ALL_TASKS");
    WaitForOutput("MSG_FILTER  ----------> off\n" + kLine);
    Keys("q");
    EXPECT_EQ(Finish(), 0);
    std::vector<std::filesystem::path> files;
    for (const auto& e : std::filesystem::directory_iterator(work_))
      if (e.path().filename().string().rfind("cmbs_dect_tracer-", 0) == 0) files.push_back(e.path());
    EXPECT_EQ(files.size(), 1u);
    return files.empty() ? std::filesystem::path() : files[0];
  }

  std::vector<std::pair<std::string, std::string>> trace_env_ = {{"HALVERN_MID_FILE", "/nonexistent/logger.txt"}};
};

TEST_F(TraceReaderE2eTest, TracerRunReadsBackEventForEvent) {
  const std::vector<Traced> messages = Messages();
  const std::filesystem::path file = RecordTrace(messages);
  ASSERT_FALSE(file.empty());

  std::string lines, text;
  std::vector<Bytes> packets;
  for (const Traced& t : messages)
    for (const Bytes& p : t.packets) {
      packets.push_back(p);
      lines += trace_reader::FormatRecord(RecordOf(p, packets.size()), Names(t.mid));
      std::string record = "BEGIN";
      char hex[4];
      for (size_t i = 0; i < p.size(); ++i) {
        if (i % 8 == 0) record += "\r\n";
        std::snprintf(hex, sizeof hex, "%.2X ", p[i]);
        record += hex;
      }
      text += record + "\r\nEND\r\n\r\n";
    }
  ASSERT_EQ(packets.size(), 9u);

  auto r = Trace({file.string()});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, lines);
  EXPECT_NE(r.out.find("     2 first  dst=2   src=1   mid=83  MID_IWU_CC_SETUP                 len=8   09 08 04 01 02 "
                       "03 04 05\n     3 second dst=2   src=1   mid=83  MID_IWU_CC_SETUP                 len=4   08 04 "
                       "01 02\n"),
            std::string::npos);

  r = Trace({"--text", file.string()});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, text);
  EXPECT_EQ(r.out, Unscrambled(ReadFile(file)));

  const std::filesystem::path pcap = work_ / "trace.pcap";
  r = Trace({"-w", pcap.string(), file.string()});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  int64_t seconds = 0;
  ASSERT_TRUE(platform::FileModifiedTime(file.string(), &seconds));
  std::string expected = trace_reader::PcapFileHeader();
  for (size_t i = 0; i < packets.size(); ++i) expected += trace_reader::PcapPacket(RecordOf(packets[i], i + 1), seconds);
  EXPECT_EQ(ReadFile(pcap), expected);
  r = Trace({"--pcap", "-", file.string()});
  EXPECT_EQ(r.out, expected);

  if (const char* keep = std::getenv("HALVERN_TRACE_PCAP_OUT"); keep && *keep)
    std::filesystem::copy_file(pcap, keep, std::filesystem::copy_options::overwrite_existing);
}

TEST_F(TraceReaderE2eTest, NamesFromTheNameFile) {
  const std::vector<Traced> messages = {Messages()[0], Messages()[3]};
  const std::filesystem::path file = RecordTrace(messages);
  ASSERT_FALSE(file.empty());
  const auto names = WriteFile("names.txt", "SETUP_83, 83\r\nFIRST_83,83\nFRAME,,, 101\nnot an entry\n");
  const std::string setup = "     1 first  dst=2   src=1   mid=83  SETUP_83                         len=3   01 02 03\n";
  const std::string frame = "     2 first  dst=4   src=5   mid=101 FRAME                            len=10  EE EE EE EE "
                            "EE EE EE EE EE EE\n";
  auto r = Trace({"-n", names.string(), file.string()});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, setup + frame);

  trace_env_ = {{"HALVERN_MID_FILE", names.string()}};
  r = Trace({file.string()});
  EXPECT_EQ(r.out, setup + frame);
  r = Trace({"--list-names"});
  EXPECT_EQ(r.out, "SETUP_83, 83\nFIRST_83, 83\nFRAME, 101\n");
  r = Trace({"--builtin-names", file.string()});
  EXPECT_NE(r.out.find("mid=83  MID_IWU_CC_SETUP "), std::string::npos) << r.out;
  r = Trace({"--builtin-names", "--list-names"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out.substr(0, 34), "MID_DEBUG_OUT, 0\nMID_COM_EVENT, 1\n");
  EXPECT_NE(r.out.find("\nMID_IWU_LLME_SUBCRIPTION_RESET, 132\n"), std::string::npos);

  r = Trace({"-n", (work_ / "missing.txt").string(), file.string()});
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "halvern-trace: cannot read the name file " + (work_ / "missing.txt").string() + "\n");

  const auto folder = work_ / "names";  // opens, but does not read: as good as missing
  std::filesystem::create_directory(folder);
  for (const std::string& last : {file.string(), std::string("--list-names")}) {
    r = Trace({"-n", folder.string(), last});
    EXPECT_EQ(r.exit_status, 2) << last;
    EXPECT_EQ(r.out, "") << last;
    EXPECT_EQ(r.err, "halvern-trace: cannot read the name file " + folder.string() + "\n") << last;
  }
}

TEST_F(TraceReaderE2eTest, DamagedFilesAreReadUpToTheDamage) {
  const std::vector<Traced> messages = {Messages()[0], Messages()[1]};
  const std::filesystem::path file = RecordTrace(messages);
  ASSERT_FALSE(file.empty());
  const std::string whole = ReadFile(file);
  const size_t first = 48;  // the first record: ten bytes
  ASSERT_EQ(Unscrambled(whole).substr(0, first + 5), "BEGIN\r\n4C 47 02 01 53 02 03 01 \r\n02 03 \r\nEND\r\n\r\nBEGIN");
  const std::string line1 = trace_reader::FormatRecord(RecordOf(messages[0].packets[0], 1), "MID_IWU_CC_SETUP");

  std::string flipped = whole;
  flipped[first + 10] = char(flipped[first + 10] ^ 0x40);  // '4' of the second record's "47" turns into 't'
  std::string plain = Unscrambled(whole);
  struct Case {
    const char* name;
    std::string content;
    std::string out;
    std::string err;  // after "halvern-trace: FILE: "
  } cases[] = {
      {"cut in the middle of a record", whole.substr(0, first + 30), line1,
       "cut short in record 2 at byte offset 78: the file ends inside the record\n"},
      {"a flipped byte in a hex line", flipped, line1,
       "damaged in record 2 at byte offset 58: expected a hexadecimal byte or a line end, found 't'\n"},
      {"not a trace at all", "# a logger configuration\nm,u\n", "",
       "damaged in record 1 at byte offset 0: expected \"BEGIN\", found 'r'\n"
       "halvern-trace: FILE: this is not a trace file\n"},
      {"text already unscrambled", plain, "",
       "damaged in record 1 at byte offset 0: expected \"BEGIN\", found byte 0x13\n"
       "halvern-trace: FILE: this is the unscrambled text of a trace file; halvern-trace reads the file the "
       "tracer wrote\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto path = WriteFile("damaged.txt", c.content);
    std::string err = "halvern-trace: FILE: " + c.err;
    for (size_t at = err.find("FILE"); at != std::string::npos; at = err.find("FILE", at))
      err.replace(at, 4, path.string());
    auto r = Trace({path.string()});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, err);
    // The pcap holds the records before the damage too.
    r = Trace({"-w", (work_ / "damaged.pcap").string(), path.string()});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(ReadFile(work_ / "damaged.pcap").size(), 24 + (c.out.empty() ? 0 : 16 + 10));
    // The text view shows all of it, and still says that the file is damaged.
    r = Trace({"-t", path.string()});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, Unscrambled(c.content));
  }
}

TEST_F(TraceReaderE2eTest, EmptyFileIsAQuietRecording) {
  const auto path = WriteFile("quiet.txt", "");
  const std::string notice = "halvern-trace: " + path.string() + ": the file is empty, it holds no record\n";
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{path.string()}, {"-t", path.string()}, {"-w", "-", path.string()}}) {
    auto r = Trace(args);
    EXPECT_EQ(r.exit_status, 0) << args[0];
    EXPECT_EQ(r.err, notice);
    EXPECT_EQ(r.out, args[0] == "-w" ? trace_reader::PcapFileHeader() : "");
  }
  const auto pcap = work_ / "quiet.pcap";
  EXPECT_EQ(Trace({"-w", pcap.string(), path.string()}).exit_status, 0);
  EXPECT_EQ(ReadFile(pcap), trace_reader::PcapFileHeader());
}

// Two damaged stretches: a flipped digit in the first record, and bytes lost from the middle of
// record 3 to the middle of record 4 (record 5, a second packet, has lost its first packet).
TEST_F(TraceReaderE2eTest, DamagedStretchesAreSkipped) {
  const std::vector<Bytes> packets = AllPackets();
  ASSERT_EQ(packets.size(), 9u);
  std::string file = Scrambled(packets);
  std::vector<size_t> start = {0};
  for (const Bytes& p : packets) start.push_back(start.back() + Scrambled({p}).size());
  file[20] = char(file[20] ^ 0x40);  // '3' of "53", the first record's message id
  const size_t from = start[2] + 8, to = start[3] + 9;  // "BEGIN\r\n0" of record 3, then " 47" of record 4
  file.erase(from, to - from);
  const size_t resumed = start[5] - (to - from);  // 52 bytes lost: the space after them reads as '+' 
  const auto path = WriteFile("damaged.txt", file);
  const std::string name = "halvern-trace: " + path.string() + ": ";
  const std::string err =
      name + "damaged in record 1 at byte offset 20: expected a hexadecimal digit, found 's'; 48 bytes skipped up to "
             "byte offset 48\n" +
      name + "damaged in record 3 at byte offset " + std::to_string(from) +
      ": expected a hexadecimal digit, found '+'; " + std::to_string(resumed - start[2]) +
      " bytes skipped up to byte offset " + std::to_string(resumed) + "\n";
  const std::string out = Line(packets[1], 2) + Line(packets[5], 4) + Line(packets[6], 5) + Line(packets[7], 6) +
                          Line(packets[8], 7);

  auto r = Trace({path.string()});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, out);
  EXPECT_EQ(r.err, err);
  // The pcap holds the same records, stamped with their numbers.
  r = Trace({"-w", "-", path.string()});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.err, err);
  int64_t seconds = 0;
  ASSERT_TRUE(platform::FileModifiedTime(path.string(), &seconds));
  std::string expected = trace_reader::PcapFileHeader() + trace_reader::PcapPacket(RecordOf(packets[1], 2), seconds);
  for (size_t i = 5; i < 9; ++i) expected += trace_reader::PcapPacket(RecordOf(packets[i], i - 1), seconds);
  EXPECT_EQ(r.out, expected);
}

// halvern-trace -f on a file the test writes in pieces, as the tracer would: each record
// appears once it is whole, a record split across two writes included; a truncated file is read
// again from the start; a stop request ends it cleanly.
TEST_F(TraceReaderE2eTest, FollowShowsRecordsAsTheyLand) {
  const std::vector<Bytes> packets = AllPackets();
  const std::string file = Scrambled(packets);
  const auto path = WriteFile("live.txt", "");
  const auto pcap = work_ / "live.pcap";
  platform::Child lines, packets_out;
  ASSERT_TRUE(lines.Start({HALVERN_TRACE_EXE, "-f", path.string()}, trace_env_));
  ASSERT_TRUE(packets_out.Start({HALVERN_TRACE_EXE, "--follow", "-w", pcap.string(), path.string()}, trace_env_));
  auto append = [&](const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::app) << bytes;
  };
  const size_t split = Scrambled({packets[0], packets[1]}).size() + 20;  // inside record 3
  append(file.substr(0, 48));
  EXPECT_TRUE(lines.WaitForText(Line(packets[0], 1), kConsoleWaitMs)) << lines.Out();
  append(file.substr(48, split - 48));
  EXPECT_TRUE(lines.WaitForText(Line(packets[1], 2), kConsoleWaitMs)) << lines.Out();
  append(file.substr(split));
  std::string all;
  for (size_t i = 0; i < packets.size(); ++i) all += Line(packets[i], i + 1);
  EXPECT_TRUE(lines.WaitForOutput([&](const std::string& out) { return out == all; }, kConsoleWaitMs)) << lines.Out();
  // Each packet is in the pcap as soon as its record is read.
  size_t pcap_size = 24;
  for (const Bytes& p : packets) pcap_size += 16 + p.size();
  auto pcap_reaches = [&](size_t size) {
    for (int i = 0; i < 300 && ReadFile(pcap).size() != size; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return ReadFile(pcap).size() == size;
  };
  EXPECT_TRUE(pcap_reaches(pcap_size));

  std::filesystem::resize_file(path, 0);
  append(file.substr(0, 48));
  EXPECT_TRUE(lines.WaitForText(all + Line(packets[0], 1), kConsoleWaitMs)) << lines.Out();
  EXPECT_TRUE(pcap_reaches(pcap_size + 16 + packets[0].size()));
  append(file.substr(48, 30));  // a record still being written when the stop comes: no damage

  lines.RequestStop();
  packets_out.Interrupt();
  EXPECT_EQ(lines.Wait(kConsoleWaitMs), 0);
  EXPECT_EQ(packets_out.Wait(kConsoleWaitMs), 0);
  EXPECT_EQ(lines.Out(), all + Line(packets[0], 1));
  const std::string truncated = "halvern-trace: " + path.string() + ": the file was truncated; reading it again from the start\n";
  EXPECT_EQ(lines.Err(), truncated);
  EXPECT_EQ(packets_out.Err(), truncated);
  const std::string written = ReadFile(pcap);
  ASSERT_EQ(written.size(), pcap_size + 16 + packets[0].size());
  EXPECT_EQ(written.substr(0, 24), trace_reader::PcapFileHeader());
  size_t at = 24;
  for (size_t i = 0; i <= packets.size(); ++i) {
    const Bytes& p = packets[i % packets.size()];
    const std::string packet = trace_reader::PcapPacket(RecordOf(p, i % packets.size() + 1), 0);
    EXPECT_EQ(written.substr(at + 4, packet.size() - 4), packet.substr(4)) << "packet " << i + 1;  // all but seconds
    at += packet.size();
  }
}

// What -f makes of a followed file that changes between two looks: truncated and written again
// (longer than before), replaced by a file of the same size, or only appended to.
TEST_F(TraceReaderE2eTest, FollowTellsAFileWrittenAgainFromOneThatGrew) {
  const std::vector<Bytes> packets = AllPackets();
  const Bytes same_size = {0x4C, 0x47, 2, 1, 83, 2, 3, 7, 8, 9};  // as long as packets[0]
  const auto path = work_ / "live.txt";
  const std::string notice = "halvern-trace: " + path.string() + ": the file was ";
  struct Case {
    const char* name;
    std::function<void()> change;
    std::string out, err;
  } cases[] = {
      {"truncated and written again",
       [&] { std::ofstream(path, std::ios::binary | std::ios::trunc) << Scrambled({packets[1], packets[0]}); },
       Line(packets[1], 1) + Line(packets[0], 2), notice + "truncated; reading it again from the start\n"},
      {"replaced by a file of the same size",
       [&] {
         std::ofstream(work_ / "new.txt", std::ios::binary) << Scrambled({same_size});
         std::filesystem::rename(work_ / "new.txt", path);
       },
       Line(same_size, 1), notice + "replaced; reading it again from the start\n"},
      {"appended to", [&] { std::ofstream(path, std::ios::binary | std::ios::app) << Scrambled({packets[3]}, 48); },
       Line(packets[3], 2), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile("live.txt", Scrambled({packets[0]}));
    platform::Child follow;
    ASSERT_TRUE(follow.Start({HALVERN_TRACE_EXE, "-f", path.string()}, trace_env_));
    const std::string before = Line(packets[0], 1);
    EXPECT_TRUE(follow.WaitForText(before, kConsoleWaitMs)) << follow.Out();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the whole file is read: it waits for more
    c.change();
    EXPECT_TRUE(follow.WaitForText(before + c.out, kConsoleWaitMs)) << follow.Out() << follow.Err();
    follow.RequestStop();
    EXPECT_EQ(follow.Wait(kConsoleWaitMs), 0);
    EXPECT_EQ(follow.Out(), before + c.out);
    EXPECT_EQ(follow.Err(), c.err);
  }
}

// A file that ends in the middle of a record while followed: the rest is waited for, and a
// damage found on the way is reported with the exit status 1 when the stop comes.
TEST_F(TraceReaderE2eTest, FollowReportsDamage) {
  const std::vector<Bytes> packets = AllPackets();
  std::string file = Scrambled({packets[0], packets[1]});
  file[60] = char(file[60] ^ 0x40);
  const auto path = WriteFile("live.txt", file.substr(0, 70));
  platform::Child follow;
  ASSERT_TRUE(follow.Start({HALVERN_TRACE_EXE, "-f", path.string()}, trace_env_));
  EXPECT_TRUE(follow.WaitForText(Line(packets[0], 1), kConsoleWaitMs)) << follow.Out();
  std::ofstream(path, std::ios::binary | std::ios::app) << file.substr(70) << Scrambled({packets[0]}, file.size());
  EXPECT_TRUE(follow.WaitForText(Line(packets[0], 3), kConsoleWaitMs)) << follow.Out() << follow.Err();
  follow.RequestStop();
  EXPECT_EQ(follow.Wait(kConsoleWaitMs), 1);
  EXPECT_NE(follow.Err().find(": damaged in record 2 at byte offset 60: "), std::string::npos) << follow.Err();
}

TEST_F(TraceReaderE2eTest, CommandLine) {
  const auto trace = WriteFile("t.txt", "");
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{}, 2, "halvern-trace: no trace file given\n(try halvern-trace -h)\n"},
      {{"-x", trace.string()}, 2, "halvern-trace: unknown option -x\n(try halvern-trace -h)\n"},
      {{"-w"}, 2, "halvern-trace: -w needs a file name\n(try halvern-trace -h)\n"},
      {{"-t", "-w", "p", trace.string()}, 2, "halvern-trace: -t and -w cannot be given together\n(try halvern-trace -h)\n"},
      {{"a", "b"}, 2, "halvern-trace: more than one trace file given\n(try halvern-trace -h)\n"},
      {{"-n", "x", "--builtin-names", "t"}, 2,
       "halvern-trace: -n and --builtin-names cannot be given together\n(try halvern-trace -h)\n"},
      {{(work_ / "none.txt").string()}, 2,
       "halvern-trace: cannot open " + (work_ / "none.txt").string() + ": No such file or directory\n"},
      {{"-w", (work_ / "no" / "dir.pcap").string(), trace.string()}, 2,
       "halvern-trace: cannot create " + (work_ / "no" / "dir.pcap").string() + ": No such file or directory\n"},
  };
  for (const Case& c : cases) {
    auto r = Trace(c.args);
    EXPECT_EQ(r.exit_status, c.status) << c.err;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
  }
  auto r = Trace({"-h"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out.rfind("usage: halvern-trace ", 0), 0u);
}

}  // namespace
}  // namespace e2e
