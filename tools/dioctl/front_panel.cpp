#include "front_panel.h"

#include <unistd.h>

#include <cstdlib>

namespace dioctl {

namespace {

struct PanelRow {
  const char *label;
  int first;
  int count;
};

const PanelRow kRows[] = {
    {"inputs ", VDIO_DI0, 8}, {"outputs", VDIO_DO0, 8}, {"LEDs   ", VDIO_LED1, 3}};

const char kLit[] = "\u25cf";   // ●
const char kDark[] = "\u25cb";  // ○
const char kLitColour[] = "\x1b[1;32m";
const char kDarkColour[] = "\x1b[2m";
const char kResetColour[] = "\x1b[0m";

unsigned RowMask(const vdio_state &state, const PanelRow &row) {
  return row.first == VDIO_DI0 ? state.inputs : row.first == VDIO_DO0 ? state.outputs : state.leds;
}

std::string Mark(bool lit, PanelStyle style) {
  const std::string mark = lit ? kLit : kDark;
  if (!style.colour) return mark;
  return (lit ? kLitColour : kDarkColour) + mark + kResetColour;
}

std::string Cell(int line, bool lit, PanelStyle style) {
  const std::string name = vdio_line_name(line);
  if (!style.marks) return name + (lit ? "=1" : "=0");
  return Mark(lit, style) + " " + name;
}

std::string Row(const vdio_state &state, const PanelRow &row, PanelStyle style) {
  std::string text = row.label;
  const unsigned mask = RowMask(state, row);
  for (int n = 0; n < row.count; ++n) text += "  " + Cell(row.first + n, (mask >> n) & 1u, style);
  return text;
}

}  // namespace

PanelStyle PanelStyleForStdout() {
  const bool terminal = isatty(STDOUT_FILENO) == 1;
  const char *no_colour = std::getenv("NO_COLOR");
  const bool colour_refused = no_colour != nullptr && no_colour[0] != '\0';
  return PanelStyle{terminal, terminal && !colour_refused};
}

std::vector<std::string> RenderFrontPanel(const vdio_state &state, PanelStyle style) {
  std::vector<std::string> rows;
  for (const PanelRow &row : kRows) rows.push_back(Row(state, row, style));
  return rows;
}

}  // namespace dioctl
