// What the shipped library shows the dynamic linker: the sixteen names of
// the interface and nothing else, its SONAME, and libc as its only need.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>

namespace {

std::string CommandOutput(const std::string &command) {
  std::string output;
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  char buffer[512];
  while (fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
  pclose(pipe);
  return output;
}

// nm -D -S lines: "address size type name".
struct Symbol {
  std::string type;
  unsigned long size;
};

std::map<std::string, Symbol> ExportedSymbols(const std::string &library) {
  std::map<std::string, Symbol> symbols;
  const std::string listing = CommandOutput("nm -D -S --defined-only " + library);
  size_t start = 0;
  while (start < listing.size()) {
    const size_t end = listing.find('\n', start);
    const std::string line = listing.substr(start, end - start);
    char size[32], type[8], name[256];
    if (sscanf(line.c_str(), "%*s %31s %7s %255s", size, type, name) == 3) {
      symbols[name] = {type, std::stoul(size, nullptr, 16)};
    } else if (sscanf(line.c_str(), "%*s %7s %255s", type, name) == 2) {
      symbols[name] = {type, 0};
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return symbols;
}

TEST(ExportsTest, TheLibraryExportsExactlyTheInterface) {
  const auto symbols = ExportedSymbols(VARNIK_DIO_LIBRARY);
  std::set<std::string> names;
  for (const auto &entry : symbols) names.insert(entry.first);
  const std::set<std::string> expected = {
      "ReadMMap",        "WriteMap",        "GPIOWriteToPin", "GPIOReadFromPin",
      "LEDWriteToPin",   "LEDReadFromPin",  "GetGPIOAddress", "GetLEDAddress",
      "GPIOs",           "LEDs",            "GPIO_Init",      "GPO_Write",
      "GPI_Read",        "GPO_Read",        "QelLEDCount",    "QelLEDSetValue"};
  EXPECT_EQ(names, expected);

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
  const std::string dynamic = CommandOutput("readelf -d " VARNIK_DIO_LIBRARY);
  std::set<std::string> needed;
  std::string soname;
  size_t at = 0;
  while ((at = dynamic.find('[', at)) != std::string::npos) {
    const size_t end = dynamic.find(']', at);
    const size_t line_start = dynamic.rfind('\n', at);
    const std::string line = dynamic.substr(line_start + 1, at - line_start);
    const std::string value = dynamic.substr(at + 1, end - at - 1);
    if (line.find("(NEEDED)") != std::string::npos) needed.insert(value);
    if (line.find("(SONAME)") != std::string::npos) soname = value;
    at = end;
  }
  EXPECT_EQ(soname, "libvarnik_dio.so.1");
#ifdef VARNIK_SANITIZER
  GTEST_SKIP() << "built with -fsanitize=" VARNIK_SANITIZER
                  ": the library needs the sanitizer runtime beside libc";
#endif
  EXPECT_EQ(needed, std::set<std::string>{"libc.so.6"});
}

}  // namespace
