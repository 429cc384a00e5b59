#include "assignments.h"

#include "argument_parsing.h"
#include "board_handle.h"
#include "claim_refusal.h"
#include "tool_messages.h"

namespace dioctl {

Assignment ParseAssignment(const std::string &word) {
  const size_t equals = word.find('=');
  if (equals == std::string::npos)
    throw varnik::tools::UsageError("'" + word + "' needs a level, as in " + word + "=1");
  const LineSet lines = ResolveLines(word.substr(0, equals));
  const std::string value = word.substr(equals + 1);
  if (lines.group)
    return Assignment{lines, varnik::tools::ParseMask(value, (1u << lines.count) - 1, word)};
  return Assignment{lines, static_cast<unsigned>(varnik::tools::ParseLevel(value, word))};
}

uint32_t WrittenLines(const std::vector<Assignment> &assignments) {
  uint32_t lines = 0;
  for (const Assignment &assignment : assignments) lines |= assignment.lines.Bits();
  return lines;
}

uint32_t WrittenLevels(const std::vector<Assignment> &assignments) {
  uint32_t levels = 0;
  for (const Assignment &assignment : assignments) {
    const uint32_t lines = assignment.lines.Bits();
    levels = (levels & ~lines) | ((assignment.value << assignment.lines.first) & lines);
  }
  return levels;
}

void ApplyAssignment(vdio_board *board, const Assignment &assignment) {
  const LineSet &lines = assignment.lines;
  const auto all = static_cast<uint8_t>((1u << lines.count) - 1);
  const auto value = static_cast<uint8_t>(assignment.value);
  int result;
  if (!lines.group)
    result = vdio_set(board, lines.first, value);
  else if (lines.first == VDIO_DO0)
    result = vdio_write_outputs(board, all, value);
  else
    result = vdio_write_leds(board, all, value);
  CheckedWrite(board, lines.Bits(), result);
}

}  // namespace dioctl
