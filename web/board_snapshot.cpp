#include "board_snapshot.h"

namespace dio_webd {

int LevelOf(const BoardSnapshot &snapshot, int line) {
  if (line >= VDIO_DI0 && line < VDIO_DO0) return (snapshot.state.inputs >> line) & 1;
  if (line >= VDIO_DO0 && line < VDIO_LED1) return (snapshot.state.outputs >> (line - VDIO_DO0)) & 1;
  if (line >= VDIO_LED1 && line < VDIO_LINE_COUNT)
    return (snapshot.state.leds >> (line - VDIO_LED1)) & 1;
  return 0;
}

}  // namespace dio_webd
