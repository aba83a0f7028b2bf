// The station page's own inputs: the -http value as a user types it, and the live notes a child
// writes to its parent (first line: the value; each later line: a note's payload). Parsing never
// reads past its text; a note, however broken, leaves the board consistent, and the state and
// the page made from it are whole.
#include <cstddef>
#include <cstdint>
#include <string>

#include "station/station_board.h"
#include "station/station_page.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const size_t end = text.find('\n');
  CM_HTTP_WHERE where;
  std::string error;
  if (cmHttpWhereParse(text.substr(0, end), &where, &error) && (where.port < 0 || where.port > 65535)) __builtin_trap();

  CmBoard board;
  board.Plugged("unit", 1, "RX5120-0001");
  board.Started("unit", 1, "RX5120-0001", 1, 4096);
  for (size_t at = end; at != std::string::npos && at < text.size();) {
    const size_t next = text.find('\n', at + 1);
    board.Live("unit", text.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1));
    at = next;
  }
  const CM_BOARD_VIEW view = board.View();
  if (view.tiles.size() != 1 || view.tiles[0].key != "unit") __builtin_trap();
  const std::string state = cmBoardStateJson(view);
  if (state.find("\"units\":[") == std::string::npos) __builtin_trap();
  (void)cmStationPageHtml(view, {});
  return 0;
}
