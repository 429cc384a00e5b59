// The board at a glance, as its front shows it: a row of inputs, a row of
// outputs, a row of LEDs. On a terminal each line gets a lit or dark mark
// (in colour unless NO_COLOR is set); elsewhere plain text, "DI0=0".
#ifndef DIOCTL_FRONT_PANEL_H
#define DIOCTL_FRONT_PANEL_H

#include <string>
#include <vector>

#include "varnik_dio_board.h"

namespace dioctl {

struct PanelStyle {
  bool marks;   // ● / ○ rather than =1 / =0
  bool colour;  // ANSI colours for the marks
};

// The style for standard output: marks on a terminal, colour there unless
// NO_COLOR is set and not empty.
PanelStyle PanelStyleForStdout();

// The three rows, without line ends.
std::vector<std::string> RenderFrontPanel(const vdio_state &state, PanelStyle style);

}  // namespace dioctl

#endif
