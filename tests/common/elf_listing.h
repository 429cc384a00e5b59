// What a shared library shows the dynamic linker, read with binutils: its
// exported symbols (nm -D) and its SONAME and NEEDED entries (readelf -d).
#ifndef VARNIK_TESTS_ELF_LISTING_H
#define VARNIK_TESTS_ELF_LISTING_H

#include <map>
#include <set>
#include <string>

namespace elf {

struct Symbol {
  std::string type;  // nm's letter: T text, R read-only data, ...
  unsigned long size;
};

// The defined dynamic symbols of library, by name.
std::map<std::string, Symbol> ExportedSymbols(const std::string &library);

// The names alone.
std::set<std::string> ExportedNames(const std::string &library);

struct DynamicSection {
  std::string soname;
  std::set<std::string> needed;
};

DynamicSection ReadDynamicSection(const std::string &library);

}  // namespace elf

#endif
