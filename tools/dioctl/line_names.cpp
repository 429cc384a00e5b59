#include "line_names.h"

#include <algorithm>

#include "tool_messages.h"

namespace dioctl {

namespace {

using varnik::tools::UsageError;

const LineSet kGroups[] = {
    {"DI", VDIO_DI0, 8, true}, {"DO", VDIO_DO0, 8, true}, {"LED", VDIO_LED1, 3, true}};

// Group names are ASCII, compared without the locale's case folding.
bool IsGroupName(const std::string &word, const std::string &group) {
  return word.size() == group.size() &&
         std::equal(word.begin(), word.end(), group.begin(), [](char w, char g) {
           return (w >= 'a' && w <= 'z' ? static_cast<char>(w - 'a' + 'A') : w) == g;
         });
}

}  // namespace

vdio_direction LineSet::Direction() const {
  vdio_line_info info{};
  vdio_get_line_info(first, &info);
  return static_cast<vdio_direction>(info.direction);
}

LineSet ResolveLines(const std::string &word) {
  for (const LineSet &group : kGroups)
    if (IsGroupName(word, group.name)) return group;
  const int line = vdio_line_from_name(word.c_str());
  if (line < 0)
    throw UsageError("unknown line '" + word +
                     "'; the lines are DI0..DI7, DO0..DO7, LED1..LED3 and the groups DI, DO, LED");
  return LineSet{vdio_line_name(line), line, 1, false};
}

std::vector<LineSet> ResolveAll(const std::vector<std::string> &words) {
  std::vector<LineSet> resolved;
  for (const std::string &word : words) resolved.push_back(ResolveLines(word));
  return resolved;
}

int RequireSingleLine(const LineSet &lines, const std::string &verb) {
  if (lines.group)
    throw UsageError(verb + ": " + lines.name + " is a group; name one line, such as " +
                     vdio_line_name(lines.first));
  return lines.first;
}

void RequireDriven(const LineSet &lines, const std::string &verb) {
  if (lines.Direction() == VDIO_INPUT)
    throw UsageError(verb + ": " + lines.name +
                     " is an input; only outputs (DO0..DO7) and LEDs (LED1..LED3) are driven");
}

std::string JoinLineNames(const std::vector<int> &lines) {
  std::string text;
  for (size_t n = 0; n < lines.size(); ++n) {
    if (n > 0) text += n + 1 == lines.size() ? " and " : ", ";
    text += vdio_line_name(lines[n]);
  }
  return text;
}

std::vector<int> LinesOf(uint32_t bits) {
  std::vector<int> lines;
  for (int line = 0; line < VDIO_LINE_COUNT; ++line)
    if (bits & (1u << line)) lines.push_back(line);
  return lines;
}

const char *DirectionName(vdio_direction direction) {
  switch (direction) {
    case VDIO_INPUT:
      return "input";
    case VDIO_OUTPUT:
      return "output";
    case VDIO_LED:
      return "LED";
  }
  return "?";
}

}  // namespace dioctl
