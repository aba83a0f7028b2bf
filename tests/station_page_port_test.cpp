// The listener of a station's page: its port belongs to one station (a second listener is refused
// it rather than sharing it, where each connection would reach either station at random) and is
// free again at once when its station has gone; a page ended right after it began ends.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "station/station_page.h"

namespace {

int PortOf(const CmStationPage& page) {
  const std::string url = page.Url();  // "http://127.0.0.1:PORT/"
  return std::stoi(url.substr(url.rfind(':') + 1));
}

TEST(StationPagePortTest, APortInUseIsRefusedAndFreeAgainOnceItsStationHasGone) {
  CmBoard first_board, second_board;
  std::string error;
  auto first = CmStationPage::Start({"127.0.0.1", 0}, &first_board, &error);
  ASSERT_TRUE(first) << error;
  const int port = PortOf(*first);

  EXPECT_FALSE(CmStationPage::Start({"127.0.0.1", port}, &second_board, &error));
  EXPECT_EQ(error, "cannot serve the page at 127.0.0.1:" + std::to_string(port) +
                       ": the address is taken or not this machine's");

  first.reset();
  auto again = CmStationPage::Start({"127.0.0.1", port}, &second_board, &error);
  ASSERT_TRUE(again) << error;
  EXPECT_EQ(PortOf(*again), port);
}

// A page ended as soon as it has begun (a run that stops at its start) ends at once: the stop is
// never lost to a listener that had not yet begun.
TEST(StationPagePortTest, APageEndedAsSoonAsItBeganEnds) {
  for (int i = 0; i < 20; ++i) {
    CmBoard board;
    std::string error;
    auto page = CmStationPage::Start({"127.0.0.1", 0}, &board, &error);
    ASSERT_TRUE(page) << error;
  }
}

}  // namespace
