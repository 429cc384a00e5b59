// What the shipped library shows the dynamic linker: the sixteen names of
// the interface and nothing else, its SONAME, and libc as its only need.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "elf_listing.h"

namespace {

TEST(ExportsTest, TheLibraryExportsExactlyTheInterface) {
  const auto symbols = elf::ExportedSymbols(VARNIK_DIO_LIBRARY);
  const std::set<std::string> expected = {
      "ReadMMap",        "WriteMap",        "GPIOWriteToPin", "GPIOReadFromPin",
      "LEDWriteToPin",   "LEDReadFromPin",  "GetGPIOAddress", "GetLEDAddress",
      "GPIOs",           "LEDs",            "GPIO_Init",      "GPO_Write",
      "GPI_Read",        "GPO_Read",        "QelLEDCount",    "QelLEDSetValue"};
  EXPECT_EQ(elf::ExportedNames(VARNIK_DIO_LIBRARY), expected);

  // The tables are read-only data of their full size: 16 and 3 entries of
  // 32 bits.
  ASSERT_EQ(symbols.count("GPIOs"), 1u);
  ASSERT_EQ(symbols.count("LEDs"), 1u);
  EXPECT_EQ(symbols.at("GPIOs").type, "R");
  EXPECT_EQ(symbols.at("GPIOs").size, 64u);
  EXPECT_EQ(symbols.at("LEDs").type, "R");
  EXPECT_EQ(symbols.at("LEDs").size, 12u);
}

TEST(ExportsTest, TheLibraryNeedsOnlyLibcAndCarriesItsSoname) {
  const elf::DynamicSection dynamic = elf::ReadDynamicSection(VARNIK_DIO_LIBRARY);
  EXPECT_EQ(dynamic.soname, "libvarnik_dio.so.1");
#ifdef VARNIK_SANITIZER
  GTEST_SKIP() << "built with -fsanitize=" VARNIK_SANITIZER
                  ": the library needs the sanitizer runtime beside libc";
#endif
  EXPECT_EQ(dynamic.needed, std::set<std::string>{"libc.so.6"});
}

}  // namespace
