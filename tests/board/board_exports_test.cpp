// What the board library shows the dynamic linker: only vdio_ names (none
// of the driver's, in particular not its tables), its own SONAME, libc alone.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "elf_listing.h"

namespace {

TEST(BoardExportsTest, OnlyTheBoardInterfaceIsExported) {
  const std::set<std::string> expected = {
      "vdio_open",          "vdio_close",       "vdio_line_from_name", "vdio_line_name",
      "vdio_get_line_info", "vdio_get",         "vdio_set",            "vdio_read",
      "vdio_read_inputs",   "vdio_write_outputs", "vdio_write_leds",   "vdio_watch_new",
      "vdio_watch_next",    "vdio_watch_free",  "vdio_version",        "vdio_device_kind",
      "vdio_watch_fd",      "vdio_claim",       "vdio_release",        "vdio_pulse",
      "vdio_get_claim",     "vdio_read_input_stats", "vdio_read_all_input_stats",
      "vdio_clear_input_stats", "vdio_get_sampler_info"};
  EXPECT_EQ(elf::ExportedNames(VARNIK_DIO_BOARD_LIBRARY), expected);
}

TEST(BoardExportsTest, ItsOwnSonameAndOnlyLibc) {
  const elf::DynamicSection dynamic = elf::ReadDynamicSection(VARNIK_DIO_BOARD_LIBRARY);
  EXPECT_EQ(dynamic.soname, "libvarnik_dio_board.so.1");
  EXPECT_EQ(dynamic.needed.count("libvarnik_dio.so.1"), 0u);
#ifdef VARNIK_SANITIZER
  GTEST_SKIP() << "built with -fsanitize=" VARNIK_SANITIZER
                  ": the library needs the sanitizer runtime beside libc";
#endif
  EXPECT_EQ(dynamic.needed, std::set<std::string>{"libc.so.6"});
}

}  // namespace
