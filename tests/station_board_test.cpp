// The station page's data: where -http serves, the board the children's notes feed, and the page
// as it reads without scripts.
#include <gtest/gtest.h>

#include <string>

#include "station/station_board.h"
#include "station/station_page.h"

namespace {

TEST(StationPageWhere, TakesAPortWithOrWithoutAnAddressAndRefusesTheRest) {
  struct Case {
    const char* text;
    bool ok;
    const char* host;
    int port;
  };
  const Case cases[] = {
      {"8080", true, "127.0.0.1", 8080},        {"0", true, "127.0.0.1", 0},
      {"0.0.0.0:80", true, "0.0.0.0", 80},      {"localhost:65535", true, "localhost", 65535},
      {"[::1]:9000", true, "::1", 9000},        {"65536", false, "", 0},
      {"-1", false, "", 0},                     {"", false, "", 0},
      {"host:", false, "", 0},                  {":80", false, "", 0},
      {"::1:80", false, "", 0},                 {"[::1]80", false, "", 0},
      {"[]:80", false, "", 0},                  {"a b:80", false, "", 0},
      {"80x", false, "", 0},                    {"99999999999999999999", false, "", 0},
  };
  for (const Case& c : cases) {
    CM_HTTP_WHERE where;
    std::string error;
    EXPECT_EQ(cmHttpWhereParse(c.text, &where, &error), c.ok) << c.text;
    if (!c.ok) {
      EXPECT_FALSE(error.empty()) << c.text;
      continue;
    }
    EXPECT_EQ(where.host, c.host) << c.text;
    EXPECT_EQ(where.port, c.port) << c.text;
  }
  EXPECT_TRUE(cmHttpIsLoopback("127.0.0.1"));
  EXPECT_TRUE(cmHttpIsLoopback("::1"));
  EXPECT_FALSE(cmHttpIsLoopback("0.0.0.0"));
  EXPECT_FALSE(cmHttpIsLoopback("192.168.1.7"));
}

ST_SERVICE_RECORD Record(const std::string& result, int port, const std::string& serial) {
  ST_SERVICE_RECORD r = cmServiceRecordNew("update", port, &serial);
  r.result = result;
  if (result != "ok") r.reason = "refused";
  return r;
}

TEST(StationBoard, FollowsTheLiveNotesAndKeepsOnlyWellFormedOnes) {
  CmBoard board;
  board.Plugged("RX1", 3, "RX1");
  EXPECT_EQ(board.View().tiles.at(0).state, "waiting");
  board.Started("RX1", 3, "RX1", 1, 0);
  struct Case {
    const char* payload;
    const char* state;
    uint64_t bytes, total;
    const char* version;
  };
  const Case cases[] = {
      {"linking - - -", "linking", 0, 0, ""},
      {"linking - - 01.02.0345", "linking", 0, 0, "01.02.0345"},
      {"transferring 512 4096 01.02.0345", "transferring", 512, 4096, "01.02.0345"},
      {"transferring 1024 - -", "transferring", 1024, 4096, "01.02.0345"},  // what it does not say stays
      {"ok 4096 4096 -", "transferring", 1024, 4096, "01.02.0345"},         // only a record ends a service
      {"transferring 9x 4096 -", "transferring", 1024, 4096, "01.02.0345"},
      {"transferring 2048 4096", "transferring", 1024, 4096, "01.02.0345"},
      {"verifying 4096 4096 <script>", "verifying", 4096, 4096, "01.02.0345"},
      {"", "verifying", 4096, 4096, "01.02.0345"},
  };
  for (const Case& c : cases) {
    board.Live("RX1", c.payload);
    const CM_TILE tile = board.View().tiles.at(0);
    EXPECT_EQ(tile.state, c.state) << c.payload;
    EXPECT_EQ(tile.bytes, c.bytes) << c.payload;
    EXPECT_EQ(tile.total, c.total) << c.payload;
    EXPECT_EQ(tile.version_before, c.version) << c.payload;
  }
  board.Live("nobody", "linking - - -");  // a unit the board does not know is left alone
  EXPECT_EQ(board.View().tiles.size(), 1u);
}

TEST(StationBoard, ShowsThoseHereAndTheLastFiftyFinishedAndCountsEachUnitOnce) {
  CmBoard board;
  board.Plugged("gone-early", 1, "G");
  board.Unplugged("gone-early");  // never served: no tile
  for (int i = 0; i < 60; ++i) {
    std::string key = "U";
    key += std::to_string(i);
    board.Started(key, 10 + i, key, 1, 0);
    std::string line = "{\"n\":";
    line += std::to_string(i);
    line += "}\n";
    board.Finished(key, Record(i % 3 ? "ok" : "failed", 10 + i, key), line);
    board.Unplugged(key);
  }
  board.Plugged("here", 2, "H");
  board.Started("here", 2, "H", 2, 100);
  const CM_BOARD_VIEW view = board.View();
  ASSERT_EQ(view.tiles.size(), 1u + CmBoard::kFinishedShown);
  EXPECT_EQ(view.tiles.front().key, "here");
  EXPECT_EQ(view.tiles.at(1).key, "U59");  // newest finished first
  EXPECT_EQ(view.tiles.back().key, "U10");
  EXPECT_EQ(view.working, 1);
  EXPECT_EQ(view.ok + view.failed, 50);  // the units on the board
  EXPECT_EQ(view.records, 60u);          // every record stays
  EXPECT_EQ(board.Records().front(), "{\"n\":0}");
  EXPECT_EQ(cmBoardRecordsJson({"{\"a\":1}", "{\"b\":2}"}), "[{\"a\":1},{\"b\":2}]");
}

TEST(StationBoard, ServesOnlyTheLogsOfItsOwnRecords) {
  CmBoard board;
  ST_SERVICE_RECORD r = Record("ok", 4, "RX 4/x");
  r.log = "/var/station/logs/RX 4_COM4.log";
  board.Finished("RX4", r, "{}");
  EXPECT_EQ(board.LogPath("RX 4_COM4.log"), "/var/station/logs/RX 4_COM4.log");
  for (const char* other : {"..", "../RX 4_COM4.log", "/var/station/logs/RX 4_COM4.log", "rx 4_com4.log", ""})
    EXPECT_FALSE(board.LogPath(other)) << other;
  EXPECT_EQ(cmBoardLogHref("RX 4_COM4.log"), "/logs/RX%204_COM4.log");
  const std::string state = cmBoardStateJson(board.View());
  EXPECT_NE(state.find(R"("log":"/logs/RX%204_COM4.log")"), std::string::npos) << state;
}

TEST(StationPageHtml, ShowsEveryTileInWordsWithWhatTheRepeaterSaidEscaped) {
  CmBoard board;
  board.Plugged("k", 7, "<b>&\"'");
  board.Started("k", 7, "<b>&\"'", 2, 1000);
  board.Live("k", "transferring 250 1000 01.02.0345");
  const std::string html = cmStationPageHtml(board.View(), {});
  EXPECT_NE(html.find("<span class=\"serial\">&lt;b&gt;&amp;&quot;&#39;</span>"), std::string::npos);
  EXPECT_EQ(html.find("<b>&\"'"), std::string::npos);
  EXPECT_NE(html.find("<p class=\"state\">transferring</p>"), std::string::npos);
  EXPECT_NE(html.find("<p class=\"bytes\">25% (250 of 1000 bytes)</p>"), std::string::npos);
  EXPECT_NE(html.find("<p class=\"attempt\">attempt 2 of 1</p>"), std::string::npos);
  EXPECT_EQ(html.find("<!--TILES-->"), std::string::npos);
}

}  // namespace
