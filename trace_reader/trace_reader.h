// Reading a trace file back: the text records the tracer writes, one per packet, scrambled
// with the key "Q&Z" by file offset.
//
// A record is "BEGIN", the packet's bytes as "%.2X " in lines of up to eight, each line begun
// by CR LF, then "\r\nEND\r\n\r\n". A packet is the first packet of a traced message ("LG",
// dst, src, mid, dst, data length, data) or the second one cut out of its data (two bytes
// that tell the flags apart, dst, src, mid, the task it concerns, length × 4, data).
//
// The parser takes the unscrambled text in pieces of any size and hands out each record as
// soon as its "END" line is complete, so a file of any size is read in constant memory. It
// stops at the first byte that does not fit and keeps where that was.
//
// The Reader on top of it takes the scrambled bytes of the file and goes on past damage: it
// carries on at the next record that parses whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace trace_reader {

constexpr size_t kHeaderSize = 7;
constexpr size_t kMaxFirstData = 256;   // the data of a traced message
constexpr size_t kMaxSecondData = 255;  // a second packet's length is one byte of that data
constexpr size_t kMaxPacket = kHeaderSize + kMaxFirstData;
constexpr const char* kKey = "Q&Z";

// XORs bytes that lie at file offset `offset` onwards with the key (both ways).
void Unscramble(void* data, size_t n, uint64_t offset);

enum class PacketKind { kFirst, kSecond };

struct Record {
  uint64_t number = 0;  // 1 for the file's first record
  uint64_t offset = 0;  // file offset of its "BEGIN"
  size_t size = 0;      // packet bytes, header included
  uint8_t bytes[kMaxPacket] = {};

  PacketKind kind() const { return bytes[0] == 'L' ? PacketKind::kFirst : PacketKind::kSecond; }
  uint8_t dst() const { return bytes[2]; }
  uint8_t src() const { return bytes[3]; }
  uint8_t mid() const { return bytes[4]; }
  // The task byte 5 names: dst in a first packet; src or dst in a second one.
  uint8_t task() const { return bytes[5]; }
  const uint8_t* data() const { return bytes + kHeaderSize; }
  size_t data_size() const { return size - kHeaderSize; }
};

struct Damage {
  uint64_t record = 0;     // number of the record in which it was found
  uint64_t offset = 0;     // file offset of the first byte that does not fit
  bool cut_short = false;  // the file ends inside a record
  bool empty = false;      // the file holds no byte at all
  std::string what;
  // The damaged stretch as the Reader skips it: from the start of the damaged record to the
  // next intact record (resumed) or to the end of the file.
  uint64_t start = 0;
  uint64_t skipped = 0;
  bool resumed = false;
};

class Parser {
 public:
  using RecordSink = std::function<void(const Record&)>;
  explicit Parser(RecordSink sink) : sink_(std::move(sink)) {}

  // The next n bytes of unscrambled text. False once the file is known to be damaged; what
  // comes after the damage is not looked at.
  bool Feed(const char* text, size_t n);
  // The same for n bytes as they lie in the file, the first of them scrambled with key byte
  // `key` (0 to 2). Each byte is unscrambled as it is looked at: bytes after the damage cost
  // nothing.
  bool FeedScrambled(const char* raw, size_t n, unsigned key);
  // The end of the file. False when the file is damaged, ends inside a record or is empty.
  bool Finish();

  const Damage* damage() const { return damaged_ ? &damage_ : nullptr; }
  uint64_t records() const { return records_; }
  uint64_t offset() const { return offset_; }
  // File offset of the record being read, or of the "BEGIN" expected next.
  uint64_t record_start() const { return start_; }
  bool in_record() const { return in_record_; }

  // Reads on after damage with a record expected at file offset `offset`, numbered `number`.
  // The damage is forgotten, and so is the last first packet: it lay before the damaged
  // stretch, which may have held the first packet a second one belongs to. Damage in the
  // record there is found but not described (its `what` stays empty): it only means that the
  // stretch goes on, and the search through a stretch must not spend time on texts.
  void Restart(uint64_t offset, uint64_t number);

 private:
  enum class State { kLiteral, kLineStart, kLineStartE, kHexLow, kSpace, kAfterByte };
  enum class Then { kLineStart, kRecordDone };

  template <bool kScrambled>
  bool FeedText(const char* bytes, size_t n, unsigned key);
  bool Step(char c);
  // Marks the damage unless one is marked. `what` is its text, or a callable that builds it
  // (only when it is wanted).
  template <typename What>
  bool Fail(const What& what, uint64_t at);
  template <typename What>
  bool FailAtByte(size_t index, const What& what);
  void Expect(const char* literal, size_t matched, Then then);
  bool StartLine(char c, uint64_t at);
  bool StartByte(char c, uint64_t at);
  bool CompleteRecord();
  bool CheckRecord();

  RecordSink sink_;
  uint64_t offset_ = 0;   // file offset of the next byte
  uint64_t start_ = 0;    // file offset of the current record's "BEGIN"
  uint64_t records_ = 0;  // records handed out
  uint64_t number_ = 1;   // number of the next record
  bool damaged_ = false;
  bool finished_ = false;
  bool describe_ = true;  // damage gets its text
  Damage damage_;

  State state_ = State::kLiteral;
  const char* literal_ = "BEGIN";
  size_t literal_at_ = 0;
  Then then_ = Then::kLineStart;
  Record record_;
  int high_nibble_ = 0;
  int line_bytes_ = 0;         // bytes on the current line
  bool short_line_ = false;    // a line of fewer than eight bytes ended: only END may follow
  bool in_record_ = false;
  // The last first packet, which a second packet must belong to.
  bool have_first_ = false;
  bool second_taken_ = false;
  uint8_t first_dst_ = 0, first_src_ = 0, first_mid_ = 0;
};

// File offset of the first hexadecimal digit of packet byte `index` in a record at `record_offset`.
uint64_t ByteOffset(uint64_t record_offset, size_t index);

// Reads the scrambled bytes of a trace file in pieces of any size and goes on past damage.
//
// After a damaged stretch (flipped bytes, a cut, inserted or lost bytes) it looks for the next
// "BEGIN" whose record parses whole. Inserted or lost bytes shift the key of everything after
// them, so each place is tried under all three key phases; the phase found is kept until the
// next damage. A damaged stretch takes one record number, so the records around it keep
// theirs and the gap in the numbers is where it lay. A second packet right after a damaged
// stretch is part of it: its first packet may be what was lost.
//
// Memory stays constant: what is kept is at most one record's text.
class Reader {
 public:
  using DamageSink = std::function<void(const Damage&)>;
  Reader(Parser::RecordSink records, DamageSink damages);

  // The next n bytes of the file as they lie in it (scrambled).
  void Feed(const char* raw, size_t n);
  // The end of the reading; nothing is fed after it. With `whole`, the file is complete and a
  // record it ends inside is damage; without, the file may still be growing and such a record
  // is not reported. A damaged stretch still open is reported in both cases.
  void Finish(bool whole);

  uint64_t records() const { return parser_.records(); }
  uint64_t damages() const { return damages_; }
  uint64_t bytes() const { return base_ + window_.size(); }

 private:
  void Pump();
  bool Search();
  void Take(const Record& record);
  void Report(const Damage& damage);

  Parser parser_;
  Parser::RecordSink records_;
  DamageSink damages_sink_;
  std::string window_;     // the file's bytes from offset base_ on, at most one record's
  uint64_t base_ = 0;
  uint64_t fed_ = 0;       // the parser has had the bytes before this offset
  unsigned phase_ = 0;     // the byte at offset k was scrambled with key byte (k + phase_) % 3
  bool searching_ = false;
  uint64_t search_at_ = 0; // next offset to try for a "BEGIN"
  bool open_ = false;      // a damaged stretch is open: stretch_ holds its first damage
  Damage stretch_;
  uint64_t damages_ = 0;
};

}  // namespace trace_reader
