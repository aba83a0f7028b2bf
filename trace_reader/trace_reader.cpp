#include "trace_reader/trace_reader.h"

#include <cstdio>
#include <type_traits>

namespace trace_reader {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;  // the writer uses upper case only
}

std::string Show(char c) {
  char text[16];
  const auto u = static_cast<unsigned char>(c);
  if (u == '\r') return "CR";
  if (u == '\n') return "LF";
  if (u >= 0x20 && u < 0x7F) std::snprintf(text, sizeof text, "'%c'", c);
  else std::snprintf(text, sizeof text, "byte 0x%02X", u);
  return text;
}

std::string Hex2(unsigned v) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", v & 0xFFu);
  return text;
}

}  // namespace

void Unscramble(void* data, size_t n, uint64_t offset) {
  auto* p = static_cast<uint8_t*>(data);
  size_t k = static_cast<size_t>(offset % 3);
  for (size_t i = 0; i < n; ++i) {
    p[i] = static_cast<uint8_t>(p[i] ^ static_cast<uint8_t>(kKey[k]));
    if (++k == 3) k = 0;
  }
}

uint64_t ByteOffset(uint64_t record_offset, size_t index) {
  // "BEGIN", then a CR LF in front of every eighth byte, three characters per byte.
  return record_offset + 5 + 2 * (index / 8 + 1) + 3 * index;
}

template <typename What>
bool Parser::Fail(const What& what, uint64_t at) {
  if (!damaged_) {
    damaged_ = true;
    damage_.record = number_;
    damage_.offset = at;
    if (!describe_) return false;
    if constexpr (std::is_invocable_v<What>) damage_.what = what();
    else damage_.what = what;
  }
  return false;
}

template <typename What>
bool Parser::FailAtByte(size_t index, const What& what) {
  return Fail(what, ByteOffset(record_.offset, index));
}

void Parser::Expect(const char* literal, size_t matched, Then then) {
  state_ = State::kLiteral;
  literal_ = literal;
  literal_at_ = matched;
  then_ = then;
}

template <bool kScrambled>
bool Parser::FeedText(const char* bytes, size_t n, unsigned key) {
  if (damaged_) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = bytes[i];
    if constexpr (kScrambled) {
      c = static_cast<char>(c ^ kKey[key]);
      if (++key == 3) key = 0;
    }
    if (!Step(c)) {
      offset_ += n - i;  // the rest is not looked at, but it was read
      return false;
    }
    ++offset_;
  }
  return true;
}

bool Parser::Feed(const char* text, size_t n) { return FeedText<false>(text, n, 0); }

bool Parser::FeedScrambled(const char* raw, size_t n, unsigned key) { return FeedText<true>(raw, n, key % 3); }

bool Parser::StartLine(char c, uint64_t at) {
  if (short_line_) return Fail("more bytes after a line of fewer than 8", at);
  line_bytes_ = 0;
  return StartByte(c, at);
}

bool Parser::StartByte(char c, uint64_t at) {
  if (record_.size == kMaxPacket)
    return Fail([&] { return "record holds more than " + std::to_string(kMaxPacket) + " bytes"; }, at);
  high_nibble_ = HexValue(c);
  state_ = State::kHexLow;
  return true;
}

bool Parser::Step(char c) {
  switch (state_) {
    case State::kLiteral:
      if (c != literal_[literal_at_]) {
        if (literal_[0] == 'B') return Fail([&] { return "expected \"BEGIN\", found " + Show(c); }, offset_);
        if (literal_[0] == 'E') return Fail([&] { return "expected \"END\" and an empty line, found " + Show(c); }, offset_);
        return Fail([&] { return "expected a line end (CR LF), found " + Show(c); }, offset_);
      }
      if (literal_[0] == 'B' && literal_at_ == 0) {
        in_record_ = true;
        record_.number = number_;
        record_.offset = offset_;
        record_.size = 0;
        line_bytes_ = 0;
        short_line_ = false;
      }
      if (literal_[++literal_at_] != '\0') return true;
      if (literal_[0] == 'B') {
        Expect("\r\n", 0, Then::kLineStart);
        return true;
      }
      if (then_ == Then::kRecordDone) return CompleteRecord();
      state_ = State::kLineStart;
      return true;

    case State::kLineStart:
      // "E" begins both "END" and a byte such as "EE": the next character tells.
      if (c == 'E') {
        state_ = State::kLineStartE;
        return true;
      }
      if (HexValue(c) < 0) return Fail([&] { return "expected a hexadecimal byte or \"END\", found " + Show(c); }, offset_);
      return StartLine(c, offset_);

    case State::kLineStartE:
      if (c == 'N') {
        Expect("END\r\n\r\n", 2, Then::kRecordDone);
        return true;
      }
      if (HexValue(c) < 0) return Fail([&] { return "expected \"END\" or a hexadecimal digit, found " + Show(c); }, offset_);
      if (!StartLine('E', offset_ - 1)) return false;
      return Step(c);

    case State::kHexLow: {
      const int low = HexValue(c);
      if (low < 0) return Fail([&] { return "expected a hexadecimal digit, found " + Show(c); }, offset_);
      record_.bytes[record_.size++] = static_cast<uint8_t>(high_nibble_ << 4 | low);
      ++line_bytes_;
      state_ = State::kSpace;
      return true;
    }

    case State::kSpace:
      if (c != ' ') return Fail([&] { return "expected a space after a byte, found " + Show(c); }, offset_);
      state_ = State::kAfterByte;
      return true;

    case State::kAfterByte:
      if (c == '\r') {
        short_line_ = line_bytes_ < 8;
        Expect("\r\n", 1, Then::kLineStart);
        return true;
      }
      if (HexValue(c) < 0) return Fail([&] { return "expected a hexadecimal byte or a line end, found " + Show(c); }, offset_);
      if (line_bytes_ == 8) return Fail("more than 8 bytes on a line", offset_);
      return StartByte(c, offset_);
  }
  return false;
}

bool Parser::CheckRecord() {
  const Record& r = record_;
  if (r.size < kHeaderSize)
    return Fail([&] { return "packet of " + std::to_string(r.size) + " bytes is shorter than its 7-byte header"; }, r.offset);
  const size_t data = r.data_size();
  if (r.bytes[0] == 'L' && r.bytes[1] == 'G') {
    if (r.bytes[5] != r.bytes[2])
      return FailAtByte(5, [&] { return "first packet repeats dst " + Hex2(r.bytes[2]) + " as " + Hex2(r.bytes[5]); });
    if (r.bytes[6] != (data & 0xFF))
      return FailAtByte(6, [&] { return "length byte " + Hex2(r.bytes[6]) + " does not match the " + std::to_string(data) +
                               " data bytes"; });
    have_first_ = true;
    second_taken_ = false;
    first_dst_ = r.dst(), first_src_ = r.src(), first_mid_ = r.mid();
    return true;
  }
  const bool second = (r.bytes[0] == 1 && r.bytes[1] == 0) || (r.bytes[0] == 0 && r.bytes[1] == 1);
  if (!second) return FailAtByte(0, [&] { return "unknown packet kind " + Hex2(r.bytes[0]) + " " + Hex2(r.bytes[1]); });
  if (data > kMaxSecondData)
    return FailAtByte(kHeaderSize + kMaxSecondData, "second packet holds more than 255 data bytes");
  if (r.bytes[6] != ((data * 4) & 0xFF))
    return FailAtByte(6, [&] { return "length byte " + Hex2(r.bytes[6]) + " does not match the " + std::to_string(data) +
                             " data bytes"; });
  if (!have_first_ || second_taken_) return FailAtByte(0, "second packet without a first packet before it");
  if (r.dst() != first_dst_ || r.src() != first_src_ || r.mid() != first_mid_)
    return FailAtByte(2, "second packet does not belong to the first packet before it");
  if (r.task() != r.dst() && r.task() != r.src())
    return FailAtByte(5, [&] { return "second packet names task " + Hex2(r.task()) + ", neither its dst nor its src"; });
  second_taken_ = true;
  return true;
}

bool Parser::CompleteRecord() {
  if (!CheckRecord()) return false;
  in_record_ = false;
  describe_ = true;
  ++records_;
  ++number_;
  start_ = offset_ + 1;  // this byte ends the record
  Expect("BEGIN", 0, Then::kLineStart);
  if (sink_) sink_(record_);
  return true;
}

void Parser::Restart(uint64_t offset, uint64_t number) {
  damaged_ = finished_ = in_record_ = false;
  describe_ = false;
  damage_ = Damage();
  offset_ = start_ = offset;
  number_ = number;
  have_first_ = false;
  Expect("BEGIN", 0, Then::kLineStart);
}

bool Parser::Finish() {
  if (damaged_) return false;
  if (finished_) return true;
  finished_ = true;
  if (in_record_) {
    Fail("the file ends inside the record", offset_);
    damage_.cut_short = true;
    return false;
  }
  if (offset_ == 0) {
    Fail("the file is empty: no record", 0);
    damage_.empty = true;
    return false;
  }
  return true;
}

namespace {

// The key byte (0 to 2) under which `c` reads as `plain`, or 3 when none does. The key's bytes
// differ, so at most one does.
unsigned KeyFor(char c, char plain) {
  const char key = static_cast<char>(c ^ plain);
  for (unsigned k = 0; k < 3; ++k)
    if (kKey[k] == key) return k;
  return 3;
}

// Whether the five bytes read "BEGIN" when the first is unscrambled with key byte `key`.
bool IsBegin(const char* raw, unsigned key) {
  for (size_t i = 1; i < 5; ++i)
    if ((raw[i] ^ kKey[(key + i) % 3]) != "BEGIN"[i]) return false;
  return true;
}

}  // namespace

Reader::Reader(Parser::RecordSink records, DamageSink damages)
    : parser_([this](const Record& r) { Take(r); }), records_(std::move(records)), damages_sink_(std::move(damages)) {}

void Reader::Feed(const char* raw, size_t n) {
  window_.append(raw, n);
  Pump();
}

// Gives the parser what it has not had; on damage, looks for the next record and goes on
// from there. Keeps only the bytes a later search or the record in progress may need.
//
// The parser unscrambles only the bytes it looks at, so a false record start costs the bytes
// up to where it fails, not the rest of the window. A false start under any key phase cannot
// lie wholly inside the text a failed record was read from (that text holds no "BEGIN" under
// another phase, nor one under its own but at its start), so the next one begins at most four
// bytes before the byte that failed: every byte is looked at a bounded number of times.
void Reader::Pump() {
  for (;;) {
    if (searching_ && !Search()) break;
    const uint64_t end = base_ + window_.size();
    if (fed_ == end) break;
    const uint64_t from = fed_;
    fed_ = end;
    if (parser_.FeedScrambled(window_.data() + (from - base_), static_cast<size_t>(end - from),
                              static_cast<unsigned>((from + phase_) % 3)))
      break;
    if (!open_) {
      open_ = true;
      stretch_ = *parser_.damage();
      stretch_.start = parser_.record_start();
    }
    // The next record may begin anywhere after the start of the one that failed: a record
    // cut short runs into the next one's "BEGIN" before it is seen to be damaged.
    searching_ = true;
    search_at_ = parser_.record_start() + 1;
  }
  const uint64_t keep = searching_ ? search_at_ : parser_.record_start();
  window_.erase(0, static_cast<size_t>(keep - base_));
  base_ = keep;
}

// True when a "BEGIN" was found under some key phase and the parser set there; false when
// the bytes run out first.
bool Reader::Search() {
  const uint64_t end = base_ + window_.size();
  for (; search_at_ + 5 <= end; ++search_at_) {
    // The one key phase under which this byte is a "B", if any, tells where to look on.
    const char* at = window_.data() + (search_at_ - base_);
    const unsigned key = KeyFor(at[0], 'B');
    if (key == 3 || !IsBegin(at, key)) continue;
    phase_ = static_cast<unsigned>((key + 3 - search_at_ % 3) % 3);
    parser_.Restart(search_at_, stretch_.record + 1);
    fed_ = search_at_;
    searching_ = false;
    return true;
  }
  return false;
}

void Reader::Take(const Record& record) {
  if (open_) {
    open_ = false;
    stretch_.skipped = record.offset - stretch_.start;
    stretch_.resumed = true;
    Report(stretch_);
  }
  if (records_) records_(record);
}

void Reader::Report(const Damage& damage) {
  ++damages_;
  if (damages_sink_) damages_sink_(damage);
}

void Reader::Finish(bool whole) {
  const uint64_t end = bytes();
  if (open_) {
    open_ = false;
    stretch_.skipped = end - stretch_.start;
    Report(stretch_);
    return;
  }
  if (!whole || !parser_.in_record()) return;
  parser_.Finish();
  Damage damage = *parser_.damage();
  damage.start = parser_.record_start();
  damage.skipped = end - damage.start;
  Report(damage);
}

}  // namespace trace_reader
