// Reads the unscrambled text of a trace file whole and in pieces whose size the first byte
// picks; traps when the two readings differ, when a record handed out is not exactly the text
// the tracer renders for its packet, or when the damage lies outside the text. Each record is
// also shown as a line and as a pcap packet.
//
// With the first byte's top bit clear the input is the text itself. With it set, the input
// describes traced messages instead; their records are rendered by the tracer's own writer,
// one byte of the text may be changed, and an unchanged text must read back as the packets.
#include <algorithm>
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
std::string Written(const uint8_t* in, size_t size, std::vector<std::vector<uint8_t>>* packets, bool* changed) {
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
    text[(in[at] * 131u) % text.size()] ^= static_cast<char>(in[at + 1]);
    *changed = true;
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
  if (bytes[0] & 0x80) written = Written(bytes + 1, size - 1, &packets, &changed);
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

  // Unscrambling is its own inverse from any offset.
  std::string copy(text, n);
  trace_reader::Unscramble(copy.data(), copy.size(), bytes[0]);
  trace_reader::Unscramble(copy.data(), copy.size(), bytes[0] + 3);
  fuzz::Check(std::memcmp(copy.data(), text, n) == 0);
  return 0;
}
