// A fresh simulated board for every test: its own board file and trace file
// in a private temporary folder, with helpers to look at and set register
// bytes from outside the driver, as a probe on the board would.
#ifndef VARNIK_TESTS_BOARD_FIXTURE_H
#define VARNIK_TESTS_BOARD_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

class BoardTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // One register byte of the board, read or set through the board file.
  uint8_t Peek(uint32_t address) const;
  void Poke(uint32_t address, uint8_t value) const;

  // The device calls recorded since SetUp or the last ClearTrace, one line
  // each, in order.
  std::vector<std::string> Trace() const;
  void ClearTrace() const;

  // What the process holds right now: its open descriptors, and the
  // mappings of the file at path (lines of /proc/self/maps naming it).
  static unsigned OpenDescriptors();
  static unsigned MappingsOf(const std::string &path);

  std::string dir_;
  std::string board_path_;
  std::string trace_path_;
};

#endif
