// A board held open through the board API on a fresh simulated board, by
// either road a program takes to it:
//   kThroughPreload  the default device ("/dev/mem"), which the preloaded
//                    simulated board sends to the test's board file;
//   kBoardFile       the test's board file named as the device, while the
//                    preload's own board is a throwaway file, so that a call
//                    that fell back to "/dev/mem" would miss the test's board.
#ifndef VARNIK_TESTS_BOARD_API_FIXTURE_H
#define VARNIK_TESTS_BOARD_API_FIXTURE_H

#include <gtest/gtest.h>

#include <string>

#include "board_fixture.h"
#include "varnik_dio_board.h"

enum class Road { kThroughPreload, kBoardFile };

std::string RoadName(const testing::TestParamInfo<Road> &info);

class BoardApiTest : public BoardTest, public testing::WithParamInterface<Road> {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The device to pass to vdio_open for this road.
  const char *Device() const;

  // A digest of both register pages, to show that nothing was written.
  std::string RegisterPages() const;

  vdio_board *board_ = nullptr;
  std::string throwaway_path_;
};

#define BOARD_API_TEST_P(suite)                                                          \
  INSTANTIATE_TEST_SUITE_P(BothRoads, suite,                                            \
                           testing::Values(Road::kThroughPreload, Road::kBoardFile), \
                           RoadName)

#endif
