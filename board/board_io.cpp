// Reading and writing lines on the held mapping: one byte load or store per
// line, no system call, no lock. A board held through the service takes
// one branch to board_remote_io.cpp once the arguments are checked.
#include <errno.h>

#include "board_internal.h"
#include "board_remote_io.h"

namespace {

using namespace varnik::board;

constexpr uint8_t kLedGroupMask = (1u << varnik::kLedCount) - 1;

bool IsDrivenLine(int line) { return line >= VDIO_DO0 && line < VDIO_LINE_COUNT; }

void Drive(vdio_board *board, int line, int level) {
  StoreRegister(RegisterOf(board, line), varnik::RegisterByteFor(static_cast<uint8_t>(level)));
}

void DriveGroup(vdio_board *board, int first, int count, uint8_t mask, uint8_t values) {
  for (int n = 0; n < count; ++n)
    if ((mask >> n) & 1u) Drive(board, first + n, (values >> n) & 1);
}

}  // namespace

extern "C" int vdio_get(const vdio_board *board, int line) {
  if (board == nullptr || !IsLine(line)) return -EINVAL;
  if (board->service != nullptr) return RemoteGet(board->service, line);
  return LevelOf(board, line);
}

extern "C" int vdio_set(vdio_board *board, int line, int level) {
  if (board == nullptr || !IsDrivenLine(line) || (level != 0 && level != 1)) return -EINVAL;
  if (board->service != nullptr) return RemoteSet(board->service, line, level);
  Drive(board, line, level);
  return 0;
}

extern "C" int vdio_read(const vdio_board *board, struct vdio_state *state) {
  if (board == nullptr || state == nullptr) return -EINVAL;
  if (board->service != nullptr) return RemoteRead(board->service, state);
  state->inputs = GroupLevels<VDIO_DI0, varnik::kInputCount>(board);
  state->outputs = GroupLevels<VDIO_DO0, varnik::kOutputCount>(board);
  state->leds = GroupLevels<VDIO_LED1, varnik::kLedCount>(board);
  return 0;
}

extern "C" int vdio_read_inputs(const vdio_board *board, uint8_t *mask) {
  if (board == nullptr || mask == nullptr) return -EINVAL;
  if (board->service != nullptr) {
    vdio_state state;
    const int result = RemoteRead(board->service, &state);
    if (result == 0) *mask = state.inputs;
    return result;
  }
  *mask = GroupLevels<VDIO_DI0, varnik::kInputCount>(board);
  return 0;
}

extern "C" int vdio_write_outputs(vdio_board *board, uint8_t mask, uint8_t values) {
  if (board == nullptr) return -EINVAL;
  if (board->service != nullptr) return RemoteWriteOutputs(board->service, mask, values);
  DriveGroup(board, VDIO_DO0, varnik::kOutputCount, mask, values);
  return 0;
}

extern "C" int vdio_write_leds(vdio_board *board, uint8_t mask, uint8_t values) {
  if (board == nullptr || (mask & ~kLedGroupMask) != 0) return -EINVAL;
  if (board->service != nullptr) return RemoteWriteLeds(board->service, mask, values);
  DriveGroup(board, VDIO_LED1, varnik::kLedCount, mask, values);
  return 0;
}
