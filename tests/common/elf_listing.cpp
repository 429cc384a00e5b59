#include "elf_listing.h"

#include <cstdio>
#include <sstream>

namespace elf {
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

// The text between the brackets of a readelf -d line, e.g. "[libc.so.6]".
std::string Bracketed(const std::string &line) {
  const size_t open = line.find('[');
  const size_t close = line.find(']', open);
  if (open == std::string::npos || close == std::string::npos) return "";
  return line.substr(open + 1, close - open - 1);
}

}  // namespace

std::map<std::string, Symbol> ExportedSymbols(const std::string &library) {
  std::map<std::string, Symbol> symbols;
  std::istringstream listing(CommandOutput("nm -D -S --defined-only " + library));
  // "address size type name", or "address type name" for symbols of no size.
  for (std::string line; std::getline(listing, line);) {
    char size[32], type[8], name[256];
    if (sscanf(line.c_str(), "%*s %31s %7s %255s", size, type, name) == 3)
      symbols[name] = {type, std::stoul(size, nullptr, 16)};
    else if (sscanf(line.c_str(), "%*s %7s %255s", type, name) == 2)
      symbols[name] = {type, 0};
  }
  return symbols;
}

std::set<std::string> ExportedNames(const std::string &library) {
  std::set<std::string> names;
  for (const auto &entry : ExportedSymbols(library)) names.insert(entry.first);
  return names;
}

DynamicSection ReadDynamicSection(const std::string &library) {
  DynamicSection section;
  std::istringstream listing(CommandOutput("readelf -d " + library));
  for (std::string line; std::getline(listing, line);) {
    if (line.find("(NEEDED)") != std::string::npos) section.needed.insert(Bracketed(line));
    if (line.find("(SONAME)") != std::string::npos) section.soname = Bracketed(line);
  }
  return section;
}

}  // namespace elf
