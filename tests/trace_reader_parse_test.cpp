// Reading trace files back: records written by the tracer's own writer, damaged files, and
// what halvern-trace makes of the records (lines, pcap).
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "trace_reader/trace_output.h"
#include "trace_reader/trace_reader.h"
#include "tracer/main_tracer_event.h"
#include "tracer/main_tracer_user.h"

namespace {

using Bytes = std::vector<uint8_t>;
using trace_reader::Damage;
using trace_reader::PacketKind;
using trace_reader::Parser;
using trace_reader::Record;

ST_TRACE_MSG Message(uint8_t dst, uint8_t src, uint8_t mid, uint8_t flags, uint8_t offsets, const Bytes& data) {
  ST_TRACE_MSG m{};
  m.dst = dst, m.src = src, m.mid = mid, m.flags = flags, m.offsets = offsets;
  std::copy(data.begin(), data.end(), m.data);
  m.nsize = uint16_t(data.size());
  return m;
}

Bytes Sequence(size_t n, uint8_t first = 0) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(first + i);
  return b;
}

// The packets the tracer builds for a message, in file order.
std::vector<Bytes> PacketsOf(const ST_TRACE_MSG& m) {
  std::vector<Bytes> packets;
  for (int k = 0; k < ((m.flags & 0x02) ? 2 : 1); ++k) {
    uint16_t n = 0;
    auto p = cmTracerBuildPacket(&m, k, &n);
    packets.emplace_back(p.get(), p.get() + n);
  }
  return packets;
}

std::string RecordText(const Bytes& packet) {
  char text[TRACE_RECORD_MAX + 1];
  return std::string(text, cmTracerRenderRecord(packet.data(), packet.size(), text));
}

// The file as the tracer writes it: records rendered and scrambled by the writer's own code,
// its key index brought to a multiple of three first, as at the start of a run.
std::string ScrambledFile(const std::vector<Bytes>& packets) {
  if (const uint64_t rest = cmTracerKeyIndex() % 3) {
    char pad[2] = {0, 0};
    cmTracerScramble(pad, size_t(3 - rest));
  }
  std::string file;
  for (const Bytes& p : packets) {
    std::string text = RecordText(p);
    cmTracerScramble(text.data(), text.size());
    file += text;
  }
  return file;
}

std::string Plain(const std::vector<Bytes>& packets) {
  std::string text;
  for (const Bytes& p : packets) text += RecordText(p);
  return text;
}

struct Parsed {
  std::vector<Record> records;
  bool sound = false;
  Damage damage;
};

// Parses unscrambled text fed in pieces of `piece` bytes (0: all at once).
Parsed Parse(const std::string& text, size_t piece = 0) {
  Parsed out;
  Parser parser([&](const Record& r) { out.records.push_back(r); });
  if (piece == 0) piece = text.size() ? text.size() : 1;
  for (size_t at = 0; at < text.size(); at += piece) parser.Feed(text.data() + at, std::min(piece, text.size() - at));
  out.sound = parser.Finish();
  if (parser.damage()) out.damage = *parser.damage();
  return out;
}

// Record text for any number of bytes (the writer's renderer stops at its longest packet).
std::string Unchecked(const Bytes& packet) {
  std::string r = "BEGIN";
  char hex[4];
  for (size_t i = 0; i < packet.size(); ++i) {
    if (i % 8 == 0) r += "\r\n";
    std::snprintf(hex, sizeof hex, "%.2X ", packet[i]);
    r += hex;
  }
  return r + "\r\nEND\r\n\r\n";
}

Bytes BytesOf(const Record& r) { return Bytes(r.bytes, r.bytes + r.size); }

TEST(TraceReaderTest, UnscrambleIsTheWritersKeyByFileOffset) {
  std::string text = "BEGIN\r\n4C 47 ";
  std::string scrambled = text;
  trace_reader::Unscramble(scrambled.data(), scrambled.size(), 0);
  EXPECT_EQ(scrambled[0], char('B' ^ 'Q'));
  EXPECT_EQ(scrambled[1], char('E' ^ '&'));
  EXPECT_EQ(scrambled[2], char('G' ^ 'Z'));
  // Pieces starting anywhere unscramble as the whole does.
  for (size_t cut = 0; cut <= scrambled.size(); ++cut) {
    std::string copy = scrambled;
    trace_reader::Unscramble(copy.data(), cut, 0);
    trace_reader::Unscramble(copy.data() + cut, copy.size() - cut, cut);
    EXPECT_EQ(copy, text) << cut;
  }
}

TEST(TraceReaderTest, EveryPacketShapeOfTheWriterReadsBackExactly) {
  const Bytes eight = {9, 8, 4, 1, 2, 3, 4, 5};
  Bytes full = Sequence(256);
  full[0] = 255;  // a second packet asking for 255 bytes from position 15: 241 are there
  const ST_TRACE_MSG messages[] = {
      Message(2, 1, 83, 0x00, 0x00, {1, 2, 3}),
      Message(2, 1, 83, 0x00, 0x00, Bytes(10, 0xEE)),
      Message(1, 2, 3, 0x00, 0x00, {}),            // no data: the header alone
      Message(1, 2, 3, 0x00, 0x00, Sequence(1)),   // seven header bytes and one: one line
      Message(1, 2, 3, 0x00, 0x00, Sequence(2)),   // nine bytes: a second line of one
      Message(2, 1, 83, 0x02, 0x21, eight),
      Message(2, 1, 83, 0x03, 0x21, eight),
      Message(2, 1, 83, 0x07, 0x21, eight),
      Message(2, 1, 83, 0x02, 0x21, {9, 8, 4}),    // second packet cut at the data received
      Message(2, 1, 83, 0x02, 0xF0, {9, 8, 4}),    // its length byte beyond the data: empty
      Message(2, 1, 83, 0x02, 0x0F, {200, 8, 4}),  // its start beyond the data: empty
      Message(7, 7, 200, 0x06, 0x10, Sequence(70, 0x80)),  // 64 bytes: the length byte wraps
      Message(0xFF, 0xFE, 0xFD, 0x00, 0x00, Sequence(256, 0xC0)),
      Message(1, 2, 101, 0x02, 0x0F, full),
  };
  std::vector<Bytes> packets;
  for (const ST_TRACE_MSG& m : messages)
    for (const Bytes& p : PacketsOf(m)) packets.push_back(p);
  ASSERT_EQ(packets.size(), 22u);

  std::string file = ScrambledFile(packets);
  trace_reader::Unscramble(file.data(), file.size(), 0);
  ASSERT_EQ(file, Plain(packets));
  for (size_t piece : {size_t(0), size_t(1), size_t(7), size_t(869)}) {
    SCOPED_TRACE(piece);
    const Parsed parsed = Parse(file, piece);
    EXPECT_TRUE(parsed.sound) << parsed.damage.what;
    ASSERT_EQ(parsed.records.size(), packets.size());
    uint64_t offset = 0;
    for (size_t i = 0; i < packets.size(); ++i) {
      const Record& r = parsed.records[i];
      EXPECT_EQ(BytesOf(r), packets[i]) << "record " << i + 1;
      EXPECT_EQ(r.number, i + 1);
      EXPECT_EQ(r.offset, offset);
      EXPECT_EQ(r.kind(), packets[i][0] == 0x4C ? PacketKind::kFirst : PacketKind::kSecond);
      EXPECT_EQ(r.data_size(), packets[i].size() - 7);
      offset += RecordText(packets[i]).size();
    }
  }
}

TEST(TraceReaderTest, ByteOffsetsFollowTheRecordLayout) {
  const std::string text = RecordText(Sequence(20, 0x30));
  for (size_t i = 0; i < 20; ++i) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%.2X", 0x30 + unsigned(i));
    EXPECT_EQ(text.substr(trace_reader::ByteOffset(0, i), 2), hex) << i;
  }
}

TEST(TraceReaderTest, DamageIsFoundWhereItIs) {
  const Bytes a = {0x4C, 0x47, 2, 1, 83, 2, 8, 9, 8, 4, 1, 2, 3, 4, 5};
  const Bytes b = {1, 0, 2, 1, 83, 1, 0x10, 8, 4, 1, 2};
  const std::string good = Plain({a, b});
  const size_t first = RecordText(a).size();  // where the second record begins
  auto with = [](std::string text, size_t at, char c) {
    text[at] = c;
    return text;
  };
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    return text.replace(text.find(from), from.size(), to);
  };
  struct Case {
    const char* name;
    std::string text;
    size_t records;  // read before the damage
    uint64_t record, offset;
    const char* what;  // a part of the report
    bool cut_short;
  };
  const Case cases[] = {
      {"empty file", "", 0, 1, 0, "empty", false},
      {"not a trace file", "root:x:0:0:root:/root:/bin/bash\n", 0, 1, 0, "expected \"BEGIN\", found 'r'", false},
      {"garbage after the last record", good + "x", 2, 3, good.size(), "expected \"BEGIN\"", false},
      {"cut inside BEGIN", good.substr(0, first + 3), 1, 2, first + 3, "ends inside the record", true},
      {"cut in a hex line", good.substr(0, first + 12), 1, 2, first + 12, "ends inside the record", true},
      {"cut before the last empty line", good.substr(0, good.size() - 2), 1, 2, good.size() - 2,
       "ends inside the record", true},
      {"flipped byte in a hex line", with(good, 10, char('4' ^ 0x80)), 0, 1, 10, "hexadecimal byte or a line end",
       false},
      {"flipped second digit", with(good, first + 11, 'g'), 1, 2, first + 11, "hexadecimal digit, found 'g'", false},
      {"lower-case digit", with(good, 11, 'c'), 0, 1, 11, "found 'c'", false},
      {"space missing", with(good, 12, '-'), 0, 1, 12, "space after a byte", false},
      {"LF without CR", with(good, 5, '\n'), 0, 1, 5, "line end (CR LF), found LF", false},
      {"END misspelt", replaced("END\r\n\r\nBEGIN", "EMD\r\n\r\nBEGIN"), 0, 1, good.find("END") + 1, "\"END\"",
       false},
      {"E that is neither END nor a byte", replaced("END\r\n\r\nBEGIN", "EXD\r\n\r\nBEGIN"), 0, 1,
       good.find("END") + 1, "\"END\" or a hexadecimal digit", false},
      {"a byte E0 after a short line", replaced("05 \r\nEND", "05 \r\nE0 \r\nEND"), 0, 1, good.find("END"),
       "fewer than 8", false},
      {"empty line missing after END", replaced("END\r\n\r\nBEGIN", "END\r\nBEGIN"), 0, 1, good.find("END") + 5,
       "\"END\"", false},
      {"nine bytes on a line", replaced("4C 47 02 01 53 02 08 09 ", "4C 47 02 01 53 02 08 09 08 "), 0, 1, 31,
       "more than 8 bytes on a line", false},
      {"more bytes after a short line", replaced("04 01 02 03 04 05 \r\n", "04 01 02 \r\n03 04 05 \r\n"), 0, 1, 47,
       "fewer than 8", false},
      // Hex digits that changed into other hex digits: the header gives them away.
      {"length byte changed", replaced("53 02 08 09", "53 02 07 09"), 0, 1, 25, "length byte 0x07", false},
      {"dst repeat changed", replaced("53 02 08 09", "53 03 08 09"), 0, 1, 22, "repeats dst", false},
      {"unknown kind", replaced("4C 47", "4C 46"), 0, 1, 7, "unknown packet kind 0x4C 0x46", false},
      {"second packet alone", Plain({b}), 0, 1, 7, "without a first packet", false},
      {"two second packets", Plain({a, b, b}), 2, 3, first + RecordText(b).size() + 7,
       "without a first packet", false},
      {"second packet of another message", Plain({a, {1, 0, 2, 1, 84, 1, 0x10, 8, 4, 1, 2}}), 1, 2, first + 13,
       "does not belong", false},
      {"second packet naming a third task", Plain({a, {1, 0, 2, 1, 83, 9, 0x10, 8, 4, 1, 2}}), 1, 2, first + 22,
       "task 0x09", false},
      {"second packet length byte", Plain({a, {1, 0, 2, 1, 83, 1, 0x11, 8, 4, 1, 2}}), 1, 2, first + 25,
       "length byte 0x11", false},
      {"packet shorter than a header", Plain({a, {0x4C, 0x47, 2, 1, 83, 2}}), 1, 2, first, "shorter than", false},
      {"record too long", Plain({a}) + Unchecked(Bytes(264, 0)), 1, 2, trace_reader::ByteOffset(first, 263),
       "more than 263 bytes", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (size_t piece : {size_t(0), size_t(1)}) {
      const Parsed parsed = Parse(c.text, piece);
      EXPECT_FALSE(parsed.sound);
      EXPECT_EQ(parsed.records.size(), c.records);
      EXPECT_EQ(parsed.damage.record, c.record);
      EXPECT_EQ(parsed.damage.offset, c.offset);
      EXPECT_NE(parsed.damage.what.find(c.what), std::string::npos) << parsed.damage.what;
      EXPECT_EQ(parsed.damage.cut_short, c.cut_short);
      EXPECT_EQ(parsed.damage.empty, c.text.empty());
    }
  }
}

TEST(TraceReaderTest, NothingIsLookedAtAfterTheDamage) {
  const std::string good = Plain({{0x4C, 0x47, 2, 1, 83, 2, 0}});
  std::vector<Record> records;
  Parser parser([&](const Record& r) { records.push_back(r); });
  EXPECT_TRUE(parser.Feed(good.data(), good.size()));
  EXPECT_FALSE(parser.Feed("XX", 2));
  EXPECT_FALSE(parser.Feed(good.data(), good.size()));
  EXPECT_FALSE(parser.Finish());
  EXPECT_EQ(records.size(), 1u);
  EXPECT_EQ(parser.damage()->offset, good.size());
}

// Reads scrambled bytes with the Reader, in pieces of `piece` bytes (0: all at once).
struct Read {
  std::vector<Record> records;
  std::vector<Damage> damages;
};
Read ReadRaw(const std::string& raw, size_t piece, bool whole = true) {
  Read out;
  trace_reader::Reader reader([&](const Record& r) { out.records.push_back(r); },
                              [&](const Damage& d) { out.damages.push_back(d); });
  if (piece == 0) piece = raw.size() ? raw.size() : 1;
  for (size_t at = 0; at < raw.size(); at += piece) reader.Feed(raw.data() + at, std::min(piece, raw.size() - at));
  reader.Finish(whole);
  EXPECT_EQ(reader.records(), out.records.size());
  EXPECT_EQ(reader.damages(), out.damages.size());
  return out;
}

// A change to the scrambled file at an offset of the undamaged one.
struct Edit {
  enum Kind { kFlip, kInsert, kRemove, kCut } kind;
  size_t at;
  size_t end = 0;       // kRemove: up to here
  std::string bytes{};  // kInsert
};

TEST(TraceReaderTest, ReaderGoesOnPastDamage) {
  const std::vector<ST_TRACE_MSG> messages = {
      Message(2, 1, 83, 0x00, 0x00, {1, 2, 3}),          Message(2, 1, 84, 0x07, 0x21, {9, 8, 4, 1, 2, 3, 4, 5}),
      Message(4, 5, 101, 0x00, 0x00, Bytes(10, 0xEE)),    Message(7, 8, 9, 0x03, 0x21, {9, 8, 4, 1, 2, 3, 4, 5}),
      Message(1, 2, 3, 0x00, 0x00, {}),                   Message(3, 4, 200, 0x00, 0x00, Sequence(20, 0x30)),
  };
  std::vector<Bytes> packets;
  for (const ST_TRACE_MSG& m : messages)
    for (const Bytes& p : PacketsOf(m)) packets.push_back(p);
  ASSERT_EQ(packets.size(), 8u);  // records 2 and 5 are second packets
  const std::string file = ScrambledFile(packets);
  std::vector<size_t> start = {0};
  for (const Bytes& p : packets) start.push_back(start.back() + RecordText(p).size());
  const std::string plain = Plain(packets);
  auto find = [&](size_t record, const char* text) { return plain.find(text, start[record]); };
  auto byte = [&](size_t record, size_t index) { return size_t(trace_reader::ByteOffset(start[record], index)); };
  // Garbage that fits nowhere under any key phase, and the start of record 3 as written again
  // after a write that was cut short: "BEGIN\r\n4C 47 04 " (the reader then sees "BE" as a byte).
  auto garbage = [](size_t n) { return std::string(n, '\xFF'); };
  std::string again = plain.substr(start[3], 16);
  trace_reader::Unscramble(again.data(), again.size(), start[3]);

  struct Case {
    const char* name;
    std::vector<Edit> edits;        // at offsets of the undamaged file, none overlapping
    std::vector<uint64_t> offsets;  // where each damage is found, in the damaged file
    bool cut_short = false;
  };
  const Case cases[] = {
      {"cut inside BEGIN", {{Edit::kCut, start[4] + 3}}, {start[4] + 3}, true},
      {"cut in a hex line of the first record", {{Edit::kCut, start[0] + 12}}, {start[0] + 12}, true},
      {"cut in the last END", {{Edit::kCut, start[8] - 3}}, {start[8] - 3}, true},
      {"cut between records", {{Edit::kCut, start[5]}}, {}},
      {"flipped BEGIN", {{Edit::kFlip, start[3] + 1}}, {start[3] + 1}},
      {"flipped header digit of a first packet", {{Edit::kFlip, byte(1, 2)}}, {byte(1, 2)}},
      {"flipped length digit of a second packet", {{Edit::kFlip, byte(5, 6) + 1}}, {byte(5, 6) + 1}},
      {"flipped END of the first record", {{Edit::kFlip, find(0, "END")}}, {find(0, "END")}},
      {"flipped data digit of the last record", {{Edit::kFlip, byte(7, 20)}}, {byte(7, 20)}},
      {"flipped line end", {{Edit::kFlip, byte(3, 7) + 3}}, {byte(3, 7) + 3}},
      {"1 byte between records", {{Edit::kInsert, start[3], 0, garbage(1)}}, {start[3]}},
      {"2 bytes between records", {{Edit::kInsert, start[3], 0, garbage(2)}}, {start[3]}},
      {"3 bytes between records", {{Edit::kInsert, start[3], 0, garbage(3)}}, {start[3]}},
      {"100 bytes between records", {{Edit::kInsert, start[3], 0, garbage(100)}}, {start[3]}},
      {"1 byte in a record", {{Edit::kInsert, byte(3, 4), 0, garbage(1)}}, {byte(3, 4)}},
      {"2 bytes in a record", {{Edit::kInsert, byte(3, 4), 0, garbage(2)}}, {byte(3, 4)}},
      {"3 bytes in a record", {{Edit::kInsert, byte(3, 4), 0, garbage(3)}}, {byte(3, 4)}},
      {"100 bytes in a record", {{Edit::kInsert, byte(3, 4), 0, garbage(100)}}, {byte(3, 4)}},
      {"garbage between a first and its second packet", {{Edit::kInsert, start[2], 0, garbage(2)}}, {start[2]}},
      {"garbage after the last record", {{Edit::kInsert, start[8], 0, garbage(3)}}, {start[8]}},
      {"a record written again after a cut", {{Edit::kInsert, start[3], 0, again}}, {start[3] + 16 + 2}},
      // Lost stretches of each length modulo 3, ending where the text cannot go on.
      {"lost stretch after a high digit", {{Edit::kRemove, byte(1, 3) + 1, byte(4, 5) + 2}}, {byte(1, 3) + 1}},
      {"lost stretch after a byte", {{Edit::kRemove, byte(1, 3) + 3, byte(4, 5) + 2}}, {byte(1, 3) + 3}},
      {"lost stretch up to a line end", {{Edit::kRemove, byte(1, 3) + 2, find(4, "\r\nEND")}}, {byte(1, 3) + 2}},
      {"two damages", {{Edit::kFlip, byte(0, 1)}, {Edit::kInsert, byte(6, 2), 0, garbage(2)}},
       {byte(0, 1), byte(6, 2)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The damaged file, and where each untouched record lies in it.
    std::string damaged;
    std::vector<int64_t> moved(packets.size(), -1);
    size_t edit = 0, at = 0;
    for (size_t r = 0; r < packets.size(); ++r) {
      bool intact = true;
      for (; edit < c.edits.size() && c.edits[edit].at < start[r + 1]; ++edit) {
        const Edit& e = c.edits[edit];
        damaged += file.substr(at, e.at - at);
        at = e.at;
        intact = intact && e.kind == Edit::kInsert && e.at == start[r];
        if (e.kind == Edit::kFlip) damaged += char(file[at++] ^ 0x40);
        if (e.kind == Edit::kInsert) damaged += e.bytes;
        if (e.kind == Edit::kRemove) at = e.end;
        if (e.kind == Edit::kCut) at = file.size();
        for (size_t lost = r + 1; lost < packets.size() && start[lost] < at; ++lost) ++r;
      }
      if (intact && at <= start[r]) moved[r] = int64_t(damaged.size() + (start[r] - at));
    }
    for (; edit < c.edits.size(); ++edit) {  // at the very end
      damaged += file.substr(at, c.edits[edit].at - at) + c.edits[edit].bytes;
      at = c.edits[edit].at;
    }
    damaged += file.substr(std::min(at, file.size()));
    // A second packet is shown only right after its first packet.
    std::vector<size_t> expected;
    for (size_t r = 0; r < packets.size(); ++r) {
      if (moved[r] < 0 || size_t(moved[r]) + RecordText(packets[r]).size() > damaged.size()) continue;
      const bool second = packets[r][0] != 0x4C;
      if (second && (expected.empty() || expected.back() != r - 1 ||
                     moved[r - 1] + int64_t(RecordText(packets[r - 1]).size()) != moved[r]))
        continue;
      expected.push_back(r);
    }

    for (size_t piece : {size_t(0), size_t(1), size_t(7)}) {
      SCOPED_TRACE(piece);
      const Read read = ReadRaw(damaged, piece);
      ASSERT_EQ(read.records.size(), expected.size());
      ASSERT_EQ(read.damages.size(), c.offsets.size());
      // Records and damaged stretches take turns along the file, each with a number of its own.
      uint64_t number = 1, end = 0;
      size_t d = 0;
      for (size_t i = 0; i <= expected.size(); ++i) {
        const uint64_t next = i < expected.size() ? uint64_t(moved[expected[i]]) : damaged.size();
        if (next != end) {
          ASSERT_LT(d, read.damages.size());
          const Damage& damage = read.damages[d];
          EXPECT_EQ(damage.record, number++);
          EXPECT_EQ(damage.offset, c.offsets[d]);
          EXPECT_EQ(damage.start, end);
          EXPECT_EQ(damage.skipped, next - end);
          EXPECT_EQ(damage.resumed, i < expected.size());
          EXPECT_EQ(damage.cut_short, c.cut_short);
          EXPECT_FALSE(damage.what.empty());
          ++d;
        }
        if (i == expected.size()) break;
        const Record& r = read.records[i];
        EXPECT_EQ(BytesOf(r), packets[expected[i]]) << "record " << expected[i] + 1;
        EXPECT_EQ(r.offset, next);
        EXPECT_EQ(r.number, number++);
        end = next + RecordText(packets[expected[i]]).size();
      }
      EXPECT_EQ(d, read.damages.size());
    }
  }
}

// 1 MiB of "BEGIN" in the file's key phase, each a record start that fails at its sixth byte,
// read in the pieces halvern-trace reads: no false start may cost the rest of the piece.
// How fast a damaged file reads is measured in bench_trace_reader; here what is skipped and where
// reading resumes.
TEST(TraceReaderTest, AMegabyteOfFalseRecordStartsIsOneDamage) {
  std::string raw;
  while (raw.size() < (1u << 20)) raw += "BEGIN";
  const size_t resumed = raw.size();
  raw += RecordText({0x4C, 0x47, 2, 1, 83, 2, 0});
  trace_reader::Unscramble(raw.data(), raw.size(), 0);
  const Read read = ReadRaw(raw, 65536);
  ASSERT_EQ(read.damages.size(), 1u);
  EXPECT_EQ(read.damages[0].offset, 5u);
  EXPECT_EQ(read.damages[0].what, "expected a line end (CR LF), found 'B'");
  EXPECT_EQ(read.damages[0].skipped, resumed);
  ASSERT_EQ(read.records.size(), 1u);
  EXPECT_EQ(read.records[0].offset, resumed);
  EXPECT_EQ(read.records[0].number, 2u);
}

TEST(TraceReaderTest, ReaderWaitsForARecordStillBeingWritten) {
  const std::string file = ScrambledFile({{0x4C, 0x47, 2, 1, 83, 2, 1, 9}, {0x4C, 0x47, 2, 1, 83, 2, 0}});
  const size_t first = RecordText({0x4C, 0x47, 2, 1, 83, 2, 1, 9}).size();
  for (size_t cut = 1; cut < file.size(); ++cut) {
    const std::string part = file.substr(0, cut);
    Read read = ReadRaw(part, 0, false);  // the file may still grow: nothing to report
    EXPECT_EQ(read.records.size(), cut >= first ? 1u : 0u) << cut;
    EXPECT_TRUE(read.damages.empty()) << cut;
    read = ReadRaw(part, 0, true);  // the file is whole: it ends inside a record
    if (cut == first) continue;
    ASSERT_EQ(read.damages.size(), 1u) << cut;
    EXPECT_TRUE(read.damages[0].cut_short);
    EXPECT_EQ(read.damages[0].offset, cut);
  }
  // An empty file is no damage; neither is one the writer has not started on yet.
  EXPECT_TRUE(ReadRaw("", 0, true).damages.empty());
  EXPECT_TRUE(ReadRaw("", 0, false).damages.empty());
  // A damage found while following is reported when the reading ends, though nothing followed it.
  const Read read = ReadRaw(file.substr(0, first) + "\xFF", 0, false);
  ASSERT_EQ(read.damages.size(), 1u);
  EXPECT_EQ(read.damages[0].offset, first);
  EXPECT_FALSE(read.damages[0].resumed);
}

Record RecordOf(const Bytes& packet, uint64_t number) {
  Record r;
  r.number = number;
  r.size = packet.size();
  std::copy(packet.begin(), packet.end(), r.bytes);
  return r;
}

TEST(TraceOutputTest, OneLinePerRecord) {
  EXPECT_EQ(trace_reader::FormatRecord(RecordOf({0x4C, 0x47, 2, 1, 83, 2, 3, 1, 2, 0xAB}, 1), "MID_IWU_CC_SETUP"),
            "     1 first  dst=2   src=1   mid=83  MID_IWU_CC_SETUP                 len=3   01 02 AB\n");
  EXPECT_EQ(trace_reader::FormatRecord(RecordOf({0, 1, 255, 254, 253, 254, 0}, 1234567), "A_LONGER_NAME_THAN_THE_COLUMN_OF_32"),
            "1234567 second dst=255 src=254 mid=253 A_LONGER_NAME_THAN_THE_COLUMN_OF_32 len=0  \n");
}

uint32_t Le32(const std::string& s, size_t at) {
  return uint32_t(uint8_t(s[at])) | uint32_t(uint8_t(s[at + 1])) << 8 | uint32_t(uint8_t(s[at + 2])) << 16 |
         uint32_t(uint8_t(s[at + 3])) << 24;
}

TEST(TraceOutputTest, PcapHeaderAndPackets) {
  const std::string header = trace_reader::PcapFileHeader();
  ASSERT_EQ(header.size(), 24u);
  EXPECT_EQ(Le32(header, 0), 0xA1B2C3D4u);
  EXPECT_EQ(header.substr(4, 4), std::string("\x02\x00\x04\x00", 4));
  EXPECT_EQ(Le32(header, 16), 65535u);
  EXPECT_EQ(Le32(header, 20), 147u);

  const Bytes packet = {0x4C, 0x47, 2, 1, 83, 2, 1, 0x99};
  struct Case {
    uint64_t number;
    int64_t seconds;
    uint32_t ts_sec, ts_usec;
  } cases[] = {{1, 1796639280, 1796639280, 1},
               {999999, 1796639280, 1796639280, 999999},
               {1000000, 1796639280, 1796639281, 0},
               {2000001, 100, 102, 1},
               {5, -7, 0, 5}};  // a time before 1970 is not carried into the file
  for (const Case& c : cases) {
    const std::string p = trace_reader::PcapPacket(RecordOf(packet, c.number), c.seconds);
    ASSERT_EQ(p.size(), 16 + packet.size());
    EXPECT_EQ(Le32(p, 0), c.ts_sec) << c.number;
    EXPECT_EQ(Le32(p, 4), c.ts_usec) << c.number;
    EXPECT_EQ(Le32(p, 8), packet.size());
    EXPECT_EQ(Le32(p, 12), packet.size());
    EXPECT_EQ(p.substr(16), std::string(packet.begin(), packet.end()));
  }
}

// The Wireshark dissector carries its own copy of the built-in names; it must be the tool's.
TEST(TraceOutputTest, DissectorKnowsTheBuiltinNames) {
  std::ifstream in(std::string(HALVERN_SOURCE_DIR) + "/tools/wireshark/halvern.lua");
  ASSERT_TRUE(in) << "tools/wireshark/halvern.lua";
  std::stringstream text;
  text << in.rdbuf();
  const std::string lua = text.str();
  const size_t start = lua.find("local builtin_names = {");
  ASSERT_NE(start, std::string::npos);
  const size_t end = lua.find("\n}", start);
  const std::string list = lua.substr(start, end - start);
  std::vector<std::string> names;
  for (size_t open = list.find('"'); open != std::string::npos; open = list.find('"', open)) {
    const size_t close = list.find('"', open + 1);
    ASSERT_NE(close, std::string::npos);
    names.push_back(list.substr(open + 1, close - open - 1));
    open = close + 1;
  }
  std::vector<std::string> builtin;
  for (const ST_MID_ENTRY* e = cmMidTableBuiltin(); e->name; ++e) {
    EXPECT_EQ(e->id, int32_t(builtin.size()));
    builtin.push_back(e->name);
  }
  EXPECT_EQ(names, builtin);
}

}  // namespace
