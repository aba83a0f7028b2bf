// Service records: the JSON text of their strings, the file digest and the time stamp.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "session/service_record.h"
#include "station/all_repeaters.h"
#include "session/sha256.h"

namespace {

TEST(JsonString, EscapesControlsAndInvalidUtf8AndKeepsValidCharacters) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"", R"("")"},
      {"RX5120 a/b", R"("RX5120 a/b")"},
      {"q\"b\\s", R"("q\"b\\s")"},
      {"\n\r\t\b\f", R"("\n\r\t\b\f")"},
      {std::string("\x00\x01\x1f\x7f", 4), "\"\\u0000\\u0001\\u001f\x7f\""},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9D\x84\x9E", "\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9D\x84\x9E\""},  // 2, 3, 4 bytes
      {"\xC3", R"("\u00c3")"},                                // cut short at the end
      {"\xC3(", R"("\u00c3(")"},                              // continuation missing
      {"\x80\xBF", R"("\u0080\u00bf")"},                      // lone continuation bytes
      {"\xC0\xAF", R"("\u00c0\u00af")"},                      // overlong '/'
      {"\xE0\x80\xAF", R"("\u00e0\u0080\u00af")"},            // overlong, three bytes
      {"\xED\xA0\x80", R"("\u00ed\u00a0\u0080")"},            // a surrogate
      {"\xF4\x90\x80\x80", R"("\u00f4\u0090\u0080\u0080")"},  // beyond U+10FFFF
      {"\xFF\xFEok", R"("\u00ff\u00feok")"},
  };
  for (const auto& c : cases) EXPECT_EQ(cmJsonString(c.in), c.out) << c.in;
}

TEST(Sha256, KnownVectorsWhateverTheSizeOfEachPiece) {
  const struct {
    std::string in;
    size_t repeat;
    const char* digest;
  } cases[] = {
      {"", 1, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", 1, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 1,
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"a", 1000000, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) {
    std::string all;
    for (size_t i = 0; i < c.repeat; ++i) all += c.in;
    for (size_t piece : {size_t{1}, size_t{7}, size_t{64}, all.size() + 1}) {
      Sha256 sha;
      for (size_t at = 0; at < all.size(); at += piece) sha.Add(all.data() + at, std::min(piece, all.size() - at));
      EXPECT_EQ(sha.HexDigest(), c.digest) << c.in.substr(0, 10) << " in pieces of " << piece;
    }
  }
}

TEST(ServiceRecord, TimeIsUtcWithMillisecondsAndEveryFieldIsOnOneLine) {
  using namespace std::chrono;
  const auto when = sys_days{year{2026} / 12 / 8} + hours{9} + minutes{30} + seconds{12} + milliseconds{345};
  EXPECT_EQ(cmIsoTimeUtc(when), "2026-12-08T09:30:12.345Z");
  EXPECT_EQ(cmIsoTimeUtc(system_clock::time_point{}), "1970-01-01T00:00:00.000Z");

  ST_SERVICE_RECORD r;
  r.time = std::string(1, 't');  // (an assignment of "t" draws a false GCC 12 warning)
  r.host = "h\n";
  r.tool = "1.1";
  r.command = "update";
  r.port = 3;
  r.file = "a\"b";
  r.file_size = 10;
  r.bytes = 0;
  r.seconds = 1.25;
  EXPECT_EQ(cmServiceRecordLine(r),
            R"({"time":"t","host":"h\n","tool":"1.1","command":"update","port":3,"serial":null,)"
            R"("version_before":null,"version_after":null,"file":"a\"b","file_size":10,"file_sha256":null,)"
            R"("bytes":0,"result":"failed","seconds":1.250,"message":null,"attempt":null,"run":"","expected":null,)"
            R"("reason":null,"log":null})"
            "\n");
}

}  // namespace

namespace {

ST_SERVICE_RECORD FullRecord() {
  ST_SERVICE_RECORD r = cmServiceRecordNew("update", 7, nullptr);
  r.serial = "RX 0001/\"a\"";
  r.version_before = "01.02.0345";
  r.version_after = "01.03.0400";
  r.file = "/tmp/caf\xC3\xA9\xFF.bin";  // a byte that is not UTF-8 comes back as that byte
  r.file_size = 1000;
  r.file_sha256 = std::string(64, 'a');
  r.bytes = 768;
  r.result = "failed";
  r.seconds = 12.5;
  r.message = "line\nbreak\ttab \xF0\x9D\x84\x9E";
  r.attempt = 3;
  r.expected = "01.03.0400";
  r.reason = CM_REASON_VERSION_MISMATCH;
  return r;
}

TEST(ServiceRecordParse, ALineWrittenIsReadBackToTheSameLine) {
  for (ST_SERVICE_RECORD r : {FullRecord(), cmServiceRecordNew("version", 1, nullptr)}) {
    const std::string line = cmServiceRecordLine(r);
    ST_SERVICE_RECORD back;
    ASSERT_TRUE(cmServiceRecordParse(line, &back)) << line;
    EXPECT_EQ(cmServiceRecordLine(back), line);
    ASSERT_TRUE(cmServiceRecordParse(line.substr(0, line.size() - 1), &back));  // without its newline
    EXPECT_EQ(back.serial, r.serial);
    EXPECT_EQ(back.file, r.file);
  }
}

TEST(ServiceRecordParse, OnlyARecordIsTaken) {
  const struct {
    std::string line;
    bool taken;
  } cases[] = {
      {R"({"result":"ok"})", true},
      {R"( { "result" : "skipped" , "port" : 255 , "attempt" : null } )", true},
      {R"({"result":"ok","unknown":true,"other":-1.5e3})", true},  // a field it does not know is passed over
      {R"({"result":"ok","serial":"\ud834\udd1e \u00e9 \/"})", true},
      {"", false},
      {"{", false},
      {"{}", false},                                        // no result
      {R"({"result":"maybe"})", false},                     // not a result word
      {R"({"result":"ok"} x)", false},                      // something after it
      {R"({"result":"ok",})", false},
      {R"({"result":"ok" "port":1})", false},
      {R"({"result":"ok","port":"1"})", false},             // a text where a number belongs
      {R"({"result":"ok","port":-1})", false},
      {R"({"result":"ok","port":65536})", false},
      {R"({"result":"ok","bytes":1.5})", false},
      {R"({"result":"ok","bytes":99999999999999999999999})", false},
      {R"({"result":"ok","seconds":-1})", false},
      {R"({"result":"ok","seconds":1e10})", false},
      {R"({"result":"ok","serial":5})", false},
      {R"({"result":"ok","serial":{"a":1}})", false},      // nothing nested
      {R"({"result":"ok","serial":"a)", false},            // text not closed
      {"{\"result\":\"ok\",\"serial\":\"a\nb\"}", false},  // a raw control character
      {R"({"result":"ok","serial":"\x"})", false},
      {R"({"result":"ok","serial":"\u12"})", false},
      {R"({"result":"ok","serial":"\udd1e"})", false},     // second half of a pair alone
      {R"({"result":"ok","serial":"\ud834x"})", false},    // first half alone
      {R"({"result":"ok","seconds":1e})", false},
      {R"({"result":"ok","seconds":.5})", false},
  };
  for (const auto& c : cases) {
    ST_SERVICE_RECORD r;
    r.host = "untouched";
    EXPECT_EQ(cmServiceRecordParse(c.line, &r), c.taken) << c.line;
    if (!c.taken) {
      EXPECT_EQ(r.host, "untouched") << c.line;
    }
  }
}

TEST(ServiceRecordRun, OneIdPerRunInEveryRecord) {
  const std::string& id = cmRunId();
  EXPECT_EQ(&id, &cmRunId());
  EXPECT_EQ(cmServiceRecordNew("version", 1, nullptr).run, id);
  EXPECT_GT(id.size(), 20u) << id;
  EXPECT_EQ(id.find_first_of(":/\\ "), std::string::npos) << id;
}

TEST(ServiceRecordFile, TheFileIsNamedByItsAbsolutePath) {
  ST_SERVICE_RECORD r;
  cmServiceRecordSetFile(&r, "no/such/../file.bin");
  ASSERT_TRUE(r.file);
  const std::filesystem::path named(*r.file);
  EXPECT_TRUE(named.is_absolute()) << *r.file;
  EXPECT_EQ(named.filename(), "file.bin");
  EXPECT_EQ(named.parent_path().filename(), "no");
  EXPECT_FALSE(r.file_size);
}

}  // namespace

namespace {

TEST(AllTotals, EachOutcomeCountedAndThoseNotOkNamedWithTheirReason) {
  const struct {
    std::vector<CM_UNIT_OUTCOME> units;
    const char* line;
  } cases[] = {
      {{}, "0 repeaters: 0 ok"},
      {{{"RX1", "ok", ""}}, "1 repeater: 1 ok"},
      {{{"RX1", "failed", "refused"}}, "1 repeater: 0 ok, 1 failed (RX1: refused)"},
      {{{"RX1", "ok", ""}, {"RX0010", "failed", "not_back"}, {"COM11", "disconnected", "disconnected"}, {"RX2", "ok", ""}},
       "4 repeaters: 2 ok, 1 failed (RX0010: not_back), 1 disconnected (COM11)"},
      {{{"RX1", "interrupted", "interrupted"}, {"RX2", "skipped", ""}, {"RX3", "failed", ""}, {"RX4", "failed", "file"}},
       "4 repeaters: 0 ok, 1 skipped, 2 failed (RX3, RX4: file), 1 interrupted (RX1)"},
  };
  for (const auto& c : cases) EXPECT_EQ(cmAllTotalsLine(c.units), c.line);
}

}  // namespace
