#include "line_text.h"

#include <vector>

#include "varnik_dio_board.h"

namespace dio_boardd {

namespace {

bool Has(uint32_t lines, int line) { return (lines >> line) & 1u; }

std::string Joined(const std::vector<std::string> &parts, const char *separator) {
  std::string text;
  for (const std::string &part : parts) text += (text.empty() ? "" : separator) + part;
  return text;
}

}  // namespace

std::string LineNames(uint32_t lines) {
  std::vector<std::string> names;
  for (int line = 0; line < VDIO_LINE_COUNT; ++line)
    if (Has(lines, line)) names.push_back(vdio_line_name(line));
  return Joined(names, ",");
}

std::string LineLevels(uint32_t lines, uint32_t levels) {
  std::vector<std::string> parts;
  for (int line = 0; line < VDIO_LINE_COUNT; ++line)
    if (Has(lines, line))
      parts.push_back(std::string(vdio_line_name(line)) + "=" + (Has(levels, line) ? "1" : "0"));
  return Joined(parts, " ");
}

}  // namespace dio_boardd
