// Trace events: decoding, packets, records, the scrambler, the trace file and the status block.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "cmbs/cmbs_event.h"
#include "fake_serial.h"
#include "tracer/main_tracer_event.h"
#include "tracer/main_tracer_user.h"

namespace halvern_test {
namespace {

const std::string kKey = "Q&Z";

Bytes U8Ie(uint8_t value) { return {0x40, 0x01, value}; }

Bytes DataIe(const Bytes& data) {
  const size_t n = data.size();
  Bytes ie = {0x1B, uint8_t(n + 2), uint8_t((n + 2) >> 8), uint8_t(n), uint8_t(n >> 8)};
  ie.resize(5 + n);  // sized first: no growing insert, which GCC 12 at -O3 misreads as out of bounds
  std::copy(data.begin(), data.end(), ie.begin() + 5);
  return ie;
}

// The elements of a trace indication: dst, src, mid, flags, [offsets], data.
Bytes TraceInd(uint8_t dst, uint8_t src, uint8_t mid, uint8_t flags, uint8_t offsets, const Bytes& data) {
  Bytes b = Cat({U8Ie(dst), U8Ie(src), U8Ie(mid), U8Ie(flags)});
  if (flags & 0x02) b = Cat({b, U8Ie(offsets)});
  return Cat({b, DataIe(data)});
}

ST_CMBS_PARAM_BLOCK BlockOf(Bytes& bytes) {
  return ST_CMBS_PARAM_BLOCK{uint16_t(bytes.size()), uint16_t(bytes.size()), 0, bytes.data()};
}

// Runs the callback on one event and returns what it printed.
std::string Deliver(uint16_t event, Bytes bytes) {
  ST_CMBS_PARAM_BLOCK block = BlockOf(bytes);
  ::testing::internal::CaptureStdout();
  cmTracerCallBack(nullptr, event, &block);
  return ::testing::internal::GetCapturedStdout();
}

ST_TRACE_MSG Message(uint8_t dst, uint8_t src, uint8_t mid, uint8_t flags, uint8_t offsets, const Bytes& data) {
  ST_TRACE_MSG m{};
  m.dst = dst, m.src = src, m.mid = mid, m.flags = flags, m.offsets = offsets;
  std::copy(data.begin(), data.end(), m.data);
  m.nsize = uint16_t(data.size());
  return m;
}

Bytes Packet(const ST_TRACE_MSG& m, int k) {
  uint16_t n = 0;
  auto p = cmTracerBuildPacket(&m, k, &n);
  return p ? Bytes(p.get(), p.get() + n) : Bytes{};
}

std::string Record(const Bytes& packet) {
  char text[TRACE_RECORD_MAX + 1];
  return std::string(text, cmTracerRenderRecord(packet.data(), packet.size(), text));
}

std::string Unscramble(std::string text, uint64_t index) {
  for (char& c : text) c = char(c ^ kKey[index++ % 3]);
  return text;
}

TEST(TracePacketTest, LayoutsByFlags) {
  const Bytes data = {9, 8, 4, 1, 2, 3, 4, 5};
  struct Case {
    const char* name;
    ST_TRACE_MSG msg;
    Bytes b;  // empty: no second packet expected from the message
  } cases[] = {
      {"no second packet", Message(2, 1, 83, 0x00, 0x00, {1, 2, 3}), {}},
      {"0x02: bits 0 and 2 equal", Message(2, 1, 83, 0x02, 0x21, data), {1, 0, 2, 1, 83, 2, 0x10, 8, 4, 1, 2}},
      {"0x03: bits differ", Message(2, 1, 83, 0x03, 0x21, data), {0, 1, 2, 1, 83, 2, 0x10, 8, 4, 1, 2}},
      {"0x07: equal, src in byte 5", Message(2, 1, 83, 0x07, 0x21, data), {1, 0, 2, 1, 83, 1, 0x10, 8, 4, 1, 2}},
      {"cut at the data received", Message(2, 1, 83, 0x02, 0x21, {9, 8, 4}), {1, 0, 2, 1, 83, 2, 0x08, 8, 4}},
      {"length byte beyond the data", Message(2, 1, 83, 0x02, 0xF0, {9, 8, 4}), {1, 0, 2, 1, 83, 2, 0x00}},
      {"start beyond the data", Message(2, 1, 83, 0x02, 0x0F, {200, 8, 4}), {1, 0, 2, 1, 83, 2, 0x00}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ST_TRACE_MSG& m = c.msg;
    Bytes a = {0x4C, 0x47, m.dst, m.src, m.mid, m.dst, uint8_t(m.nsize)};
    a.insert(a.end(), m.data, m.data + m.nsize);
    EXPECT_EQ(Packet(m, 0), a);
    if (!c.b.empty()) {
      EXPECT_EQ(Packet(m, 1), c.b);
    }
  }
}

TEST(TracePacketTest, LargestPackets) {
  Bytes data(256);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i);
  data[0] = 255;  // the second packet asks for 255 bytes from position 15: 241 are there
  ST_TRACE_MSG m = Message(1, 2, 3, 0x02, 0x0F, data);
  const Bytes a = Packet(m, 0);
  ASSERT_EQ(a.size(), 263u);
  EXPECT_EQ(a[6], 0x00);  // 256 in eight bits
  const Bytes b = Packet(m, 1);
  ASSERT_EQ(b.size(), 7u + 241u);
  EXPECT_EQ(b[6], uint8_t(241 * 4));
  EXPECT_EQ(Bytes(b.begin() + 7, b.end()), Bytes(data.begin() + 15, data.end()));
  EXPECT_EQ(Record(a).size(), 869u);
}

TEST(TraceRecordTest, Rendering) {
  EXPECT_EQ(Record({0x4C, 0x47, 0x02, 0x01, 0x53, 0x02, 0x03, 0x01, 0x02, 0x03}),
            "BEGIN\r\n4C 47 02 01 53 02 03 01 \r\n02 03 \r\nEND\r\n\r\n");
  EXPECT_EQ(Record({0x4C, 0x47, 0x02, 0x01, 0x53, 0x02, 0x03, 0x01, 0x02, 0x03}).size(), 48u);
  EXPECT_EQ(Record(Bytes(8, 0xAB)), "BEGIN\r\nAB AB AB AB AB AB AB AB \r\nEND\r\n\r\n");
  EXPECT_EQ(Record(Bytes(9, 0x0F)), "BEGIN\r\n0F 0F 0F 0F 0F 0F 0F 0F \r\n0F \r\nEND\r\n\r\n");
  // A 17-byte packet (seven header bytes, ten data bytes): three data lines, 71 characters.
  const std::string r = Record(Packet(Message(1, 2, 3, 0, 0, Bytes(10, 0xEE)), 0));
  EXPECT_EQ(r.size(), 71u);
  EXPECT_EQ(r.substr(r.size() - 14), "\r\nEE \r\nEND\r\n\r\n");
}

TEST(TraceScrambleTest, KeyIndexRunsOnAcrossRecords) {
  const uint64_t start = cmTracerKeyIndex();
  std::string first(71, 'A'), second(48, 'B');
  cmTracerScramble(first.data(), first.size());
  cmTracerScramble(second.data(), second.size());
  EXPECT_EQ(cmTracerKeyIndex(), start + 119);
  EXPECT_EQ(second[0], char('B' ^ kKey[(start + 71) % 3]));
  EXPECT_EQ(Unscramble(first, start), std::string(71, 'A'));
  EXPECT_EQ(Unscramble(second, start + 71), std::string(48, 'B'));

  ::testing::internal::CaptureStdout();
  cmTracerScramble(second.data(), 0);
  cmTracerScramble(nullptr, 5);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "main_tracer_event 266: [ERROR]: Invalid parameters\nmain_tracer_event 266: [ERROR]: Invalid parameters\n");
  EXPECT_EQ(cmTracerKeyIndex(), start + 119);
}

TEST(TraceDecodeTest, ElementsInOrder) {
  Bytes bytes = TraceInd(2, 1, 83, 0x02, 0x21, {9, 8, 4, 1, 2});
  ST_CMBS_PARAM_BLOCK block = BlockOf(bytes);
  ST_TRACE_MSG m;
  ASSERT_EQ(cmTracerGetMessage(&block, &m), 0);
  EXPECT_EQ(m.dst, 2);
  EXPECT_EQ(m.src, 1);
  EXPECT_EQ(m.mid, 83);
  EXPECT_EQ(m.flags, 0x02);
  EXPECT_EQ(m.offsets, 0x21);
  EXPECT_EQ(m.nsize, 5);
  EXPECT_EQ(Bytes(m.data, m.data + 5), Bytes({9, 8, 4, 1, 2}));

  bytes = TraceInd(2, 1, 83, 0x00, 0x00, Bytes(256, 0x11));
  block = BlockOf(bytes);
  ASSERT_EQ(cmTracerGetMessage(&block, &m), 0);
  EXPECT_EQ(m.nsize, 256);
  EXPECT_EQ(m.offsets, 0);
}

TEST(TraceDecodeTest, BadEventsAreReportedAndDropped) {
  const std::string warning = "main_tracer_event, 497: [WARNING]: Invalid parameters for received message";
  struct Case {
    const char* name;
    Bytes bytes;
    std::string out;
  } cases[] = {
      {"257 data bytes", TraceInd(2, 1, 83, 0, 0, Bytes(257, 1)),
       "main_tracer_event, 130: [NS]: Buffer is not large enougth to hold target data\n" + warning +
           "(mid=83), (src=1), (dst=2), (nsize=0)\n"},
      {"last element is not data", Cat({U8Ie(2), U8Ie(1), U8Ie(83), U8Ie(0), U8Ie(7)}),
       "main_tracer_event 119: [ERROR]: Getting DECT packet\n" + warning + "(mid=83), (src=1), (dst=2), (nsize=0)\n"},
      {"no data element", Cat({U8Ie(2), U8Ie(1), U8Ie(83), U8Ie(0)}),
       "main_tracer_event 113: [ERROR]: Invalid parameters\n" + warning + "(mid=83), (src=1), (dst=2), (nsize=0)\n"},
      {"offsets missing", Cat({U8Ie(2), U8Ie(1), U8Ie(83), U8Ie(2)}),
       warning + "(mid=83), (src=1), (dst=2), (nsize=0)\n"},
      {"two elements only", Cat({U8Ie(2), U8Ie(1)}), warning + "(mid=0), (src=1), (dst=2), (nsize=0)\n"},
      {"empty", {}, warning + "(mid=0), (src=0), (dst=0), (nsize=0)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Deliver(CMXX_EV_LOGGER_TRACE_IND, c.bytes), c.out);
  }
  EXPECT_EQ(Deliver(CMXX_EV_LOG_MSG, TraceInd(2, 1, 83, 0, 0, {1})), "");  // other events: nothing
}

std::string StatusBlock(uint16_t mask, const std::string& filter) {
  std::string s = "---------------------------\n";
  s += std::string("ALL_TASKS   ----------> ") + (mask == 0x7FFF ? "on" : "off") + "\n";
  const char* labels[] = {"MAC_TASK    ", "DLU_TASK    ", "DLC_TASK    ", "NWK_TASK    ", "IWU_TASK    ",
                          "REP_TASK    ", "DTB_TASK    ", "TERM_TASK   ", "CMBS_TASK   "};
  for (int i = 0; i < 9; ++i) s += std::string(labels[i]) + "----------> " + ((mask >> i) & 1 ? "on" : "off") + "\n";
  return s + filter;
}

Bytes MaskIe(uint16_t mask) { return {0x4A, 0x02, uint8_t(mask), uint8_t(mask >> 8)}; }

Bytes IdList(std::vector<int32_t> ids) {
  Bytes b;
  for (int32_t id : ids)
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(uint32_t(id) >> (8 * i)));
  return b;
}

TEST(TraceStatusTest, Blocks) {
  TempDir dir;
  ScopedEnv env("HALVERN_MID_FILE", (dir.path() / "none.txt").string());
  cmMidTableFree();
  const std::string rule = "---------------------------\n";
  const std::string off = "MSG_FILTER  ----------> off\n" + rule;
  const std::string on = "MSG_FILTER  ----------> on\n";
  struct Case {
    const char* name;
    Bytes bytes;
    std::string out;
  } cases[] = {
      {"all tasks", MaskIe(0x7FFF), StatusBlock(0x7FFF, off)},
      {"MAC and DLC", MaskIe(0x0005), StatusBlock(0x0005, off)},
      {"filter", Cat({MaskIe(0x8000), DataIe(IdList({3, -1, 101, -1, -1, -1, -1, -1, -1, -1}))}),
       StatusBlock(0x8000, on + " *  3 ------->MID_TIMER_ALERT\n *101 ------->MID_LLME_FRAME_TRACE\n" + rule)},
      {"short filter list", Cat({MaskIe(0x8000), DataIe(Cat({IdList({3}), {0x65, 0x00}}))}),
       StatusBlock(0x8000, on + " *  3 ------->MID_TIMER_ALERT\n" + rule)},
      {"unknown id", Cat({MaskIe(0x8000), DataIe(IdList({500}))}),
       StatusBlock(0x8000, on + " *500 ------->Unknown\n" + rule)},
      {"filter list missing", MaskIe(0x8000),
       StatusBlock(0x8000, on) + "main_tracer_event 113: [ERROR]: Invalid parameters\n"
                                 "main_tracer_event, 451: [ERROR]: Couldnt get data relative to active messages\n"},
      {"filter list too long", Cat({MaskIe(0x8000), DataIe(Bytes(44, 0xFF))}),
       StatusBlock(0x8000, on) +
           "main_tracer_event, 130: [NS]: Buffer is not large enougth to hold target data\n"
           "main_tracer_event, 451: [ERROR]: Couldnt get data relative to active messages\n"},
      {"not a mask first", Cat({DataIe({1}), MaskIe(1)}),
       "main_tracer_event, 475: [ERROR]: Unable to print/get logger status, unknown ie=27\n"},
      {"empty answer", {}, "main_tracer_event, 475: [ERROR]: Unable to print/get logger status, unknown ie=0\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Deliver(CMXX_EV_LOGGER_STATUS_GET_RES, c.bytes), c.out);
  }
}

// The trace file in a directory of its own, over the fake link (closing sends the logger-off request).
// The tracer's file name: cmbs_dect_tracer-D_M_YYYY__h_m_s.txt, a valid day and month, a four-digit
// year, the time of day, no leading zeros.
bool IsTraceFileName(const std::string& name) {
  int day = 0, month = 0, year = 0, hour = 0, minute = 0, second = 0, end = 0;
  if (std::sscanf(name.c_str(), "cmbs_dect_tracer-%d_%d_%d__%d_%d_%d.txt%n", &day, &month, &year, &hour, &minute,
                  &second, &end) != 6 ||
      end != static_cast<int>(name.size()))
    return false;
  char again[96];
  std::snprintf(again, sizeof again, "cmbs_dect_tracer-%d_%d_%04d__%d_%d_%d.txt", day, month, year, hour, minute,
                second);
  return name == again && day >= 1 && day <= 31 && month >= 1 && month <= 12 && year >= 0 && year <= 9999 &&
         hour >= 0 && hour <= 99 && minute >= 0 && minute <= 59 && second >= 0 && second <= 59;
}

class TraceFileTest : public FakeSerialTest {
 protected:
  void SetUp() override {
    FakeSerialTest::SetUp();
    LinkUp();
    saved_cwd_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
  }
  void TearDown() override {
    ::testing::internal::CaptureStdout();
    cmTracerFileClose();
    ::testing::internal::GetCapturedStdout();
    std::filesystem::current_path(saved_cwd_);
    FakeSerialTest::TearDown();
  }
  std::vector<std::filesystem::path> TraceFiles() const {
    std::vector<std::filesystem::path> files;
    for (const auto& e : std::filesystem::directory_iterator(dir_.path())) files.push_back(e.path());
    return files;
  }
  static std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  TempDir dir_;
  std::filesystem::path saved_cwd_;
};

TEST_F(TraceFileTest, RecordsAreScrambledByFileOffset) {
  const std::string not_open = "main_tracer_event, 300: [ERROR]: Text file is not open!\n";
  const Bytes first = TraceInd(2, 1, 83, 0x00, 0x00, Bytes(10, 0xEE));
  const Bytes second = TraceInd(2, 1, 83, 0x07, 0x21, {9, 8, 4, 1, 2, 3, 4, 5});
  EXPECT_EQ(Deliver(CMXX_EV_LOGGER_TRACE_IND, first), not_open);  // before the file exists
  EXPECT_TRUE(TraceFiles().empty());

  ::testing::internal::CaptureStdout();
  ASSERT_EQ(cmTracerFileOpen(), 0);
  ASSERT_EQ(cmTracerFileOpen(), 0);  // already open: nothing new
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  const auto files = TraceFiles();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(IsTraceFileName(files[0].filename().string())) << files[0];

  const uint64_t start = cmTracerKeyIndex();
  EXPECT_EQ(Deliver(CMXX_EV_LOGGER_TRACE_IND, first), "");
  EXPECT_EQ(Deliver(CMXX_EV_LOGGER_TRACE_IND, second), "");
  fake_.ClearWrites();
  cmTracerFileClose();
  cmTracerFileClose();  // closed already: no second logger-off request
  const auto frames = fake_.Frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].event_id, CMXX_EV_LOGGER_CONFIG_SET);
  EXPECT_EQ(frames[0].params, Bytes({0x3E, 0x01, 0x00, 0x4A, 0x02, 0xFF, 0xFF}));
  EXPECT_EQ(Deliver(CMXX_EV_LOGGER_TRACE_IND, first), not_open);  // after quit

  const std::string content = ReadAll(files[0]);
  const std::string expected = "BEGIN\r\n4C 47 02 01 53 02 0A EE \r\nEE EE EE EE EE EE EE EE \r\nEE \r\nEND\r\n\r\n" +
                               Record(Packet(Message(2, 1, 83, 0x07, 0x21, {9, 8, 4, 1, 2, 3, 4, 5}), 0)) +
                               "BEGIN\r\n01 00 02 01 53 01 10 08 \r\n04 01 02 \r\nEND\r\n\r\n";
  EXPECT_EQ(Unscramble(content, start), expected);
  EXPECT_NE(content, expected);
}

// A record the file does not take whole (a full device) is known, and the tracer run then fails
// instead of ending as a whole recording; a file that takes every record is not marked.
TEST_F(TraceFileTest, RecordsThatDoNotReachTheFileAreKnown) {
  const Bytes event = TraceInd(2, 1, 83, 0x00, 0x00, Bytes(10, 0xEE));
  ASSERT_EQ(cmTracerFileOpenAt((dir_.path() / "whole.txt").string().c_str()), 0);
  EXPECT_EQ(Deliver(CMXX_EV_LOGGER_TRACE_IND, event), "");
  EXPECT_FALSE(cmTracerFileLost());
  cmTracerFileClose();

  ASSERT_EQ(cmTracerFileOpenAt("/dev/full"), 0);
  EXPECT_EQ(Deliver(CMXX_EV_LOGGER_TRACE_IND, event), "");
  EXPECT_TRUE(cmTracerFileLost());
  cmTracerFileClose();

  ASSERT_EQ(cmTracerFileOpenAt((dir_.path() / "again.txt").string().c_str()), 0);
  EXPECT_FALSE(cmTracerFileLost());  // a new file starts whole
}

TEST_F(TraceFileTest, FileThatCannotBeCreated) {
  const std::filesystem::path gone = dir_.path() / "gone";
  std::filesystem::create_directory(gone);
  std::filesystem::current_path(gone);
  std::filesystem::remove(gone);  // files can no longer be created here
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(cmTracerFileOpen(), -1);
  fake_.ClearWrites();
  cmTracerFileClose();  // nothing open: nothing sent
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "main_tracer_event, 533: [ERROR]: Opening the file, error=2\n");
  EXPECT_TRUE(fake_.Frames().empty());
  EXPECT_FALSE(cmTracerFileIsOpen());
}

TEST_F(TraceFileTest, ClosingWhileRecordsAreWrittenLeavesOnlyWholeRecords) {
  ASSERT_EQ(cmTracerFileOpen(), 0);
  const uint64_t start = cmTracerKeyIndex();
  std::atomic<int> delivered{0};
  std::atomic<bool> stop{false};
  Bytes bytes = TraceInd(2, 1, 83, 0x02, 0x40, Bytes(200, 0x20));  // two records per event
  const std::string pair = Record(Packet(Message(2, 1, 83, 0x02, 0x40, Bytes(200, 0x20)), 0)) +
                           Record(Packet(Message(2, 1, 83, 0x02, 0x40, Bytes(200, 0x20)), 1));
  ::testing::internal::CaptureStdout();
  std::thread writer([&] {
    while (!stop) {
      ST_CMBS_PARAM_BLOCK block = BlockOf(bytes);
      cmTracerCallBack(nullptr, CMXX_EV_LOGGER_TRACE_IND, &block);
      ++delivered;
    }
  });
  while (delivered < 200) std::this_thread::yield();
  cmTracerFileClose();
  while (delivered < 400) std::this_thread::yield();
  stop = true;
  writer.join();
  ::testing::internal::GetCapturedStdout();

  const std::string content = Unscramble(ReadAll(TraceFiles().at(0)), start);
  ASSERT_EQ(content.size() % pair.size(), 0u);
  EXPECT_GE(content.size() / pair.size(), 200u);
  for (size_t at = 0; at < content.size(); at += pair.size()) ASSERT_EQ(content.substr(at, pair.size()), pair) << at;
}

}  // namespace
}  // namespace halvern_test
