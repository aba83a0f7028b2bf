// -http: the station's page, served by the station itself while it runs. Read-only: the page,
// /api/state, /api/records, /events (the state as it changes) and /logs/NAME (the logs this run
// wrote, by name). Its threads only read the board: a client, however slow or hostile, never
// holds up the station's own work.
#pragma once

#include <memory>
#include <string>

#include "station/station_board.h"

// Where -http serves: "[ADDR:]PORT" (ADDR a name or IPv4 address, or an IPv6 one in brackets).
struct CM_HTTP_WHERE {
  std::string host = "127.0.0.1";
  int port = 0;  // 0: a free one
};
// False with the reason for anything else. Safe on any input.
bool cmHttpWhereParse(const std::string& text, CM_HTTP_WHERE* where, std::string* error);
// True for a loopback address (the page is readable only on this PC).
bool cmHttpIsLoopback(const std::string& host);

// The page as it stands, readable without scripts; the script in it keeps it live.
std::string cmStationPageHtml(const CM_BOARD_VIEW& view, const std::vector<std::string>& records);

class CmStationPage {
 public:
  // The most event streams open at once; a page beyond them looks at /api/state instead.
  static constexpr int kMostStreams = 8;
  // A stream sends the state at most this often (the first change after a quiet spell at once).
  static constexpr int kStreamEveryMs = 250;

  // Binds and serves the board from threads of its own; null after the reason.
  static std::unique_ptr<CmStationPage> Start(const CM_HTTP_WHERE& where, CmBoard* board, std::string* error);
  ~CmStationPage();  // stops serving: open streams are ended
  CmStationPage(const CmStationPage&) = delete;
  CmStationPage& operator=(const CmStationPage&) = delete;

  // "http://127.0.0.1:45123/"
  std::string Url() const;

 private:
  struct Impl;
  explicit CmStationPage(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};
