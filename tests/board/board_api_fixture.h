// A board held open through the board API on a fresh simulated board, by
// either road a program takes to it:
//   kThroughPreload  the default device ("/dev/mem"), which the preloaded
//                    simulated board sends to the test's board file;
//   kBoardFile       the test's board file named as the device, while the
//                    preload's own board is a throwaway file, so that a call
//                    that fell back to "/dev/mem" would miss the test's board;
//   kThroughService  the socket of the board service (this build's
//                    dio-boardd), started on the test's board file for the
//                    test, and under a throwaway preload board of its own.
// Suites of behaviour that only the held mapping has (its mappings, its
// device calls, a watcher that polls only while its caller waits) run on
// the first two alone: BOARD_API_DIRECT_TEST_P.
#ifndef VARNIK_TESTS_BOARD_API_FIXTURE_H
#define VARNIK_TESTS_BOARD_API_FIXTURE_H

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "board_fixture.h"
#include "service_process.h"
#include "varnik_dio_board.h"

enum class Road { kThroughPreload, kBoardFile, kThroughService };

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
  std::string socket_path_;
  std::unique_ptr<ServiceProcess> service_;
};

#define BOARD_API_TEST_P(suite)                                                         \
  INSTANTIATE_TEST_SUITE_P(EveryRoad, suite,                                           \
                           testing::Values(Road::kThroughPreload, Road::kBoardFile,    \
                                           Road::kThroughService),                     \
                           RoadName)

#define BOARD_API_DIRECT_TEST_P(suite)                                                   \
  INSTANTIATE_TEST_SUITE_P(DirectRoads, suite,                                          \
                           testing::Values(Road::kThroughPreload, Road::kBoardFile), \
                           RoadName)

#define BOARD_API_SERVICE_TEST_P(suite) \
  INSTANTIATE_TEST_SUITE_P(Service, suite, testing::Values(Road::kThroughService), RoadName)

#endif
