#include "service_figures.h"

#include <cerrno>
#include <stdexcept>

namespace dioctl {

namespace {

int CheckedFigures(const BoardHandle &board, int result) {
  if (result == -EOPNOTSUPP) throw std::runtime_error(WhyNoInputFigures(board));
  return Checked(result);
}

}  // namespace

std::string WhyNoInputFigures(const BoardHandle &board) {
  if (vdio_device_kind(board.get()) == VDIO_DEVICE_SERVICE)
    return "the board service on this socket is of a version before input counters (it was "
           "not restarted since an upgrade): restart it (systemctl restart dio-boardd)";
  return "input counters are kept by the board service (dio-boardd), and a device opened "
         "directly has none: run the service on the board and give its socket with --device "
         "(" VDIO_SERVICE_SOCKET ")";
}

std::vector<InputFigures> ReadInputFigures(const BoardHandle &board, uint32_t lines) {
  vdio_input_stats all[VDIO_INPUT_COUNT];
  for (vdio_input_stats &stats : all) {
    stats = vdio_input_stats{};
    stats.size = sizeof stats;
  }
  CheckedFigures(board, vdio_read_all_input_stats(board.get(), all));
  std::vector<InputFigures> figures;
  for (int line = VDIO_DI0; line <= VDIO_DI7; ++line)
    if (lines & (1u << line)) figures.push_back(InputFigures{line, all[line - VDIO_DI0]});
  return figures;
}

void ClearInputFigures(const BoardHandle &board, int line, uint32_t what) {
  CheckedFigures(board, vdio_clear_input_stats(board.get(), line, what));
}

}  // namespace dioctl
