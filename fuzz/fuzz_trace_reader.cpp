// Reads the unscrambled text of a trace file whole and in pieces whose size the first byte
// picks; traps when the two readings differ, when a record handed out is not exactly the text
// the tracer renders for its packet, or when the damage lies outside the text. Each record is
// also shown as a line and as a pcap packet.
//
// With the first byte's top bit clear the input is the text itself. With it set, the input
// describes traced messages instead; their records are rendered by the tracer's own writer,
// one byte of the text may be changed, and an unchanged text must read back as the packets.
//
// The same bytes, scrambled, also go through the Reader, which reads on past damage (bytes may
// be inserted or removed too, shifting the key): whole and in pieces alike, its records and
// damaged stretches must cover the file end to end without overlapping, each record must be
// its packet's text under some key phase, and a changed byte may cost only the record it lies
// in and the second packet after it.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_walk.h"
#include "trace_reader/trace_output.h"
#include "trace_reader/trace_reader.h"
#include "tracer/main_tracer_event.h"

namespace {

struct Reading {
  std::vector<trace_reader::Record> records;
  bool sound = false;
  trace_reader::Damage damage;
};

// Records and damaged stretches as the Reader hands them out, in file order.
struct Event {
  bool damage = false;
  trace_reader::Record record;
  trace_reader::Damage stretch;
  bool operator==(const Event& o) const {
    if (damage != o.damage) return false;
    if (damage)
      return stretch.record == o.stretch.record && stretch.offset == o.stretch.offset &&
             stretch.start == o.stretch.start && stretch.skipped == o.stretch.skipped &&
             stretch.resumed == o.stretch.resumed && stretch.cut_short == o.stretch.cut_short &&
             stretch.what == o.stretch.what;
    return record.number == o.record.number && record.offset == o.record.offset && record.size == o.record.size &&
           std::memcmp(record.bytes, o.record.bytes, record.size) == 0;
  }
};

std::vector<Event> ReadRaw(const std::string& raw, size_t piece, bool whole) {
  std::vector<Event> events;
  trace_reader::Reader reader([&](const trace_reader::Record& r) { events.push_back({false, r, {}}); },
                              [&](const trace_reader::Damage& d) { events.push_back({true, {}, d}); });
  for (size_t at = 0; at < raw.size(); at += piece) reader.Feed(raw.data() + at, std::min(piece, raw.size() - at));
  reader.Finish(whole);
  return events;
}

Reading Read(const char* text, size_t size, size_t piece) {
  Reading out;
  trace_reader::Parser parser([&](const trace_reader::Record& r) { out.records.push_back(r); });
  for (size_t at = 0; at < size; at += piece) parser.Feed(text + at, std::min(piece, size - at));
  out.sound = parser.Finish();
  if (parser.damage()) out.damage = *parser.damage();
  return out;
}

// Messages from the input: dst, src, mid, flags, offsets, a data length and that many bytes
// (as far as the input goes), then two bytes saying where a byte of the text is changed and
// how (XOR, 0: unchanged).
struct Edit {
  size_t where = 0, count = 0;  // count 0: no edit
  bool remove = false;
  char value = 0;
};

std::string Written(const uint8_t* in, size_t size, std::vector<std::vector<uint8_t>>* packets, bool* changed,
                    size_t* flipped, Edit* edit) {
  std::string text;
  char rendered[TRACE_RECORD_MAX + 1];
  size_t at = 0;
  while (size - at >= 8 && packets->size() < 64) {
    ST_TRACE_MSG m{};
    m.dst = in[at], m.src = in[at + 1], m.mid = in[at + 2], m.flags = in[at + 3], m.offsets = in[at + 4];
    const size_t want = in[at + 5] | (in[at + 6] & 0x01) << 8;  // 0 to 511: up to 256 taken
    at += 7;
    const size_t take = std::min({want, size_t(TRACE_DATA_SIZE), size - at});
    std::memcpy(m.data, in + at, take);
    m.nsize = static_cast<uint16_t>(take);
    at += take;
    for (int k = 0; k < ((m.flags & 0x02) ? 2 : 1); ++k) {
      uint16_t n = 0;
      auto packet = cmTracerBuildPacket(&m, k, &n);
      packets->emplace_back(packet.get(), packet.get() + n);
      text.append(rendered, cmTracerRenderRecord(packet.get(), n, rendered));
    }
  }
  *changed = false;
  if (size - at >= 2 && in[at + 1] != 0 && !text.empty()) {
    *flipped = (in[at] * 131u) % text.size();
    text[*flipped] ^= static_cast<char>(in[at + 1]);
    *changed = true;
  }
  // Then, for the Reader only: bytes inserted (as many as the next byte's low bits say, of
  // the value of the one after) or removed there.
  if (size - at >= 4 && in[at + 2] != 0) {
    edit->where = (in[at] * 131u) % (text.size() + 1);
    edit->count = in[at + 2] & 0x7F;
    edit->remove = (in[at + 2] & 0x80) != 0;
    edit->value = static_cast<char>(in[at + 3]);
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size == 0 || size > 16384) return 0;
  const size_t piece = 1 + bytes[0] % 64;
  std::vector<std::vector<uint8_t>> packets;
  bool changed = true;
  std::string written;
  size_t flipped = 0;
  Edit edit;
  if (bytes[0] & 0x80) written = Written(bytes + 1, size - 1, &packets, &changed, &flipped, &edit);
  const char* text = (bytes[0] & 0x80) ? written.data() : reinterpret_cast<const char*>(bytes + 1);
  const size_t n = (bytes[0] & 0x80) ? written.size() : size - 1;

  const Reading whole = Read(text, n, n ? n : 1);
  const Reading pieces = Read(text, n, piece);
  fuzz::Check(whole.sound == pieces.sound && whole.records.size() == pieces.records.size());
  fuzz::Check(whole.damage.offset == pieces.damage.offset && whole.damage.record == pieces.damage.record &&
              whole.damage.what == pieces.damage.what);
  if (!whole.sound) {
    fuzz::Check(whole.damage.offset <= n && whole.damage.record == whole.records.size() + 1);
    fuzz::Check(!whole.damage.what.empty());
  }

  char rendered[TRACE_RECORD_MAX + 1];
  uint64_t next = 0;
  for (const trace_reader::Record& r : whole.records) {
    fuzz::Check(r.size >= trace_reader::kHeaderSize && r.size <= trace_reader::kMaxPacket);
    fuzz::Check(r.offset == next);
    const size_t length = cmTracerRenderRecord(r.bytes, r.size, rendered);
    fuzz::Check(r.offset + length <= n && std::memcmp(rendered, text + r.offset, length) == 0);
    next = r.offset + length;
    const std::string line = trace_reader::FormatRecord(r, "NAME");
    fuzz::Check(!line.empty() && line.back() == '\n');
    const std::string packet = trace_reader::PcapPacket(r, 1796639280);
    fuzz::Check(packet.size() == 16 + r.size);
  }

  if (!changed) {
    fuzz::Check(whole.sound == !packets.empty() && whole.records.size() == packets.size());
    for (size_t i = 0; i < whole.records.size(); ++i) {
      const trace_reader::Record& r = whole.records[i];
      fuzz::Check(packets[i].size() == r.size && std::memcmp(packets[i].data(), r.bytes, r.size) == 0);
    }
  }

  // The Reader, on the scrambled bytes with the edit made.
  std::string raw(text, n);
  trace_reader::Unscramble(raw.data(), raw.size(), 0);
  if (edit.count && edit.remove) raw.erase(edit.where, edit.count);
  if (edit.count && !edit.remove) raw.insert(edit.where, edit.count, edit.value);
  const std::vector<Event> read = ReadRaw(raw, raw.size() ? raw.size() : 1, true);
  fuzz::Check(ReadRaw(raw, piece, true) == read);
  uint64_t at = 0, number = 1;
  std::vector<uint64_t> found;  // offsets of the records read
  for (const Event& e : read) {
    if (e.damage) {
      fuzz::Check(e.stretch.start == at && e.stretch.skipped > 0 && e.stretch.record == number++);
      fuzz::Check(e.stretch.offset >= at && e.stretch.offset <= raw.size() && !e.stretch.what.empty());
      at += e.stretch.skipped;
      fuzz::Check(e.stretch.resumed == (at < raw.size()));
      continue;
    }
    const trace_reader::Record& r = e.record;
    fuzz::Check(r.offset == at && r.number == number++);
    const size_t length = cmTracerRenderRecord(r.bytes, r.size, rendered);
    bool matches = false;
    for (unsigned phase = 0; phase < 3 && !matches; ++phase) {
      std::string scrambled(rendered, length);
      trace_reader::Unscramble(scrambled.data(), length, r.offset + phase);
      matches = r.offset + length <= raw.size() && raw.compare(r.offset, length, scrambled) == 0;
    }
    fuzz::Check(matches);
    found.push_back(r.offset);
    at += length;
  }
  fuzz::Check(at == raw.size());
  if ((bytes[0] & 0x80) && edit.count == 0) {
    // A changed byte costs at most the record it lies in and the second packet after that.
    size_t offset = 0, hit = SIZE_MAX;
    std::vector<size_t> starts;
    for (const auto& p : packets) {
      starts.push_back(offset);
      offset += cmTracerRenderRecord(p.data(), p.size(), rendered);
      if (changed && hit == SIZE_MAX && flipped < offset) hit = starts.size() - 1;
    }
    for (size_t i = 0; i < packets.size(); ++i)
      if (i != hit && i != hit + 1) fuzz::Check(std::find(found.begin(), found.end(), starts[i]) != found.end());
    if (!changed) fuzz::Check(read.size() == packets.size());
  }

  // Unscrambling is its own inverse from any offset.
  std::string copy(text, n);
  trace_reader::Unscramble(copy.data(), copy.size(), bytes[0]);
  trace_reader::Unscramble(copy.data(), copy.size(), bytes[0] + 3);
  fuzz::Check(std::memcmp(copy.data(), text, n) == 0);
  return 0;
}
